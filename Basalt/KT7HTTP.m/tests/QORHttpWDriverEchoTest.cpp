// The WinINet driver against the local test server's echo, chunked answers and cookies.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "LocalHttpServer.h"
#include "QORHttpCookie.h"
#include "QORHttpWDriverSettings.h"
#include "TestFolder.h"
#include "WDriverTestSupport.h"

namespace {

using namespace std::chrono_literals;

class WinInetDriverEcho : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(served);
        ASSERT_NE(server.Port(), 0) << server.Error();
    }

    TestFolder folder;
    std::wstring served = folder.In(L"www");
    LocalHttpServer server{served};
    ScriptedPrompt prompt{ERROR_CANCELLED};
    QORHttpScopedPrompt installedPrompt{prompt};
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(WinInetDriverEcho, UploadsGoWithTheirLengthOrInChunksOf65515) {
    const std::string upload = Pattern(70000);
    struct Case {
        const char* name;
        std::uint32_t chunked;
        const char* chunks;
        bool contentLength;
    } cases[] = {
        // First, on a socket of its own: WinINet adds "Content-Length: 0" on a reused one, where
        // taking the header off after the connection has no effect.
        {"chunked", 1, "CHUNKS 65515 4485 0\r\n", false},
        {"known length", 0, "CHUNKS -\r\n", true},
    };
    for (const Case& c : cases) {
        auto driver = MakeDriver("WinINet driver test: uploads");
        PieceStreamer streamer(upload, c.chunked);
        Body body;
        std::uint32_t keepAlive = 0;
        ASSERT_EQ(driver->PostStream(server.Url("echo").c_str(), 0, QORHTTP_CONTENT_OCTETS, &streamer, &keepAlive,
                                     &body.text, &body.length),
                  0)
            << c.name;
        const std::string echo = body.Text();
        EXPECT_TRUE(Has(echo, "\r\nPOST /echo HTTP/1.1\r\n")) << c.name << "\n" << echo.substr(0, 400);
        EXPECT_TRUE(Has(echo, c.chunks)) << c.name << "\n" << echo.substr(0, 400);
        EXPECT_TRUE(Has(echo, "BODY 70000\r\n\r\n" + upload)) << c.name;
        EXPECT_EQ(Has(echo, "Content-Length: 70000\r\n"), c.contentLength) << c.name;
        EXPECT_EQ(Has(echo, "Content-Length:"), c.contentLength) << c.name << "\n" << echo.substr(0, 400);
        EXPECT_EQ(Has(echo, "Transfer-Encoding: chunked\r\n"), !c.contentLength) << c.name;
    }
}

TEST_F(WinInetDriverEcho, ComputerNameIsContactedAsLocalhost) {
    std::string computer = QORHttpComputerName();
    ASSERT_FALSE(computer.empty());
    std::transform(computer.begin(), computer.end(), computer.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    auto driver = MakeDriver("WinINet driver test: computer name");
    Body body;
    const std::string port = std::to_string(server.Port());
    ASSERT_EQ(driver->Get(("http://" + computer + ":" + port + "/echo").c_str(), 0, &body.text, &body.length, nullptr), 0);
    EXPECT_TRUE(Has(body.Text(), "\r\nHost: localhost:" + port + "\r\n")) << body.Text();
    EXPECT_EQ(driver->Host(), "localhost");
}

std::string LowerComputerName() {
    std::string computer = QORHttpComputerName();
    std::transform(computer.begin(), computer.end(), computer.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return computer;
}

// The environment is read once per process: a child for each value.
VAROMET_CHILD_CASE(HostContactedForTheComputerName) {
    char port[16] = {};
    if (!::GetEnvironmentVariableA("WDRIVER_TEST_SERVER_PORT", port, sizeof port)) return 2;
    ScriptedPrompt prompt(ERROR_CANCELLED);
    QORHttpScopedPrompt installed(prompt);
    auto driver = MakeDriver("WinINet driver test: computer name child", 3000);
    Body body;
    const HRESULT rc =
        driver->Get(("http://" + LowerComputerName() + ":" + port + "/echo").c_str(), 0, &body.text, &body.length, nullptr);
    std::printf("host=%s rc=0x%lx\n", driver->Host().c_str(), static_cast<unsigned long>(rc));
    return 0;
}

TEST_F(WinInetDriverEcho, DisableLocalhostKeepsTheComputerName) {
    const std::wstring port = std::to_wstring(server.Port());
    struct Case {
        const char* name;
        std::optional<std::wstring> disable;
        std::string host;
    } cases[] = {
        {"unset", std::nullopt, "localhost"},
        {"set, even empty", L"", LowerComputerName()},
    };
    for (const Case& c : cases) {
        const ChildProcess::Result run =
            ChildProcess::Run("HostContactedForTheComputerName",
                              {{L"WDRIVER_TEST_SERVER_PORT", port}, {L"QORHttpDisableLocalhost", c.disable}});
        ASSERT_TRUE(run.started) << c.name << ": " << run.output;
        EXPECT_EQ(run.exitCode, 0u) << c.name;
        EXPECT_TRUE(Has(ChildProcess::TextOutput(run), "host=" + c.host + " ")) << c.name << ": " << run.output;
    }
}

// A request keeps its socket until the driver's next request or its end; then the next
// driver of the same user agent takes it over.
TEST_F(WinInetDriverEcho, DriversWithOneUserAgentReuseTheServersConnection) {
    auto connectionOf = [&](QORHttpWDriver& driver) {
        Body body;
        EXPECT_EQ(driver.Get(server.Url("echo").c_str(), 0, &body.text, &body.length, nullptr), 0);
        return body.Text().substr(0, body.Text().find("\r\n"));
    };
    auto first = MakeDriver("WinINet driver test: connection ids");
    const std::string opened = connectionOf(*first);
    EXPECT_EQ(opened.rfind("CONNECTION ", 0), 0u) << opened;
    EXPECT_EQ(connectionOf(*first), opened) << "the same driver again";
    first.reset();
    auto second = MakeDriver("WinINet driver test: connection ids");
    EXPECT_EQ(connectionOf(*second), opened) << "another driver";
    EXPECT_EQ(connectionOf(*second), opened) << "the other driver again";
}

// Drivers on eight threads race to open the session and the connection of one user agent:
// every request is answered, and one session serves them all.
TEST_F(WinInetDriverEcho, DriversOnManyThreadsShareOneSession) {
    constexpr int kThreads = 8;
    HRESULT results[kThreads];
    HINTERNET sessions[kThreads];
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            auto driver = MakeDriver("WinINet driver test: threads");
            Body body;
            results[i] = driver->Get(server.Url("echo").c_str(), 0, &body.text, &body.length, nullptr);
            sessions[i] = driver->Session();
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(results[i], 0) << "thread " << i;
        EXPECT_EQ(sessions[i], sessions[0]) << "thread " << i;
    }
}

TEST_F(WinInetDriverEcho, ChunkedAnswersAreReadWholeOrFailWhenTheyStall) {
    const std::string file = Pattern(50000);
    WriteFile(served + L"\\chunked.bin", file);
    struct Case {
        const char* name;
        const char* query;
        HRESULT rc;
        std::string body;
    } cases[] = {
        {"whole", "chunked.bin?chunked=1&chunk=1000", 0, file},
        {"one chunk", "chunked.bin?chunked=1&chunk=60000", 0, file},
        // A time-out inside the body is no end of it.
        {"stalled inside", "chunked.bin?chunked=1&chunk=1000&stall=20000", -8, ""},
    };
    for (const Case& c : cases) {
        auto driver = MakeDriver("WinINet driver test: chunked answers", 1000);
        Body body;
        const auto began = std::chrono::steady_clock::now();
        EXPECT_EQ(driver->Get(server.Url(c.query).c_str(), 0, &body.text, &body.length, nullptr), c.rc) << c.name;
        EXPECT_TRUE(body.Text() == c.body) << c.name << ": " << body.length << " bytes";
        EXPECT_LT(std::chrono::steady_clock::now() - began, 8s) << c.name;
    }
}

TEST_F(WinInetDriverEcho, SetCookieReachesTheStoreAndTheJar) {
    auto driver = MakeDriver("WinINet driver test: cookies");
    Body body;
    ASSERT_EQ(driver->Get(server.Url("echo?cookie=driverjar%3Dv1%3B%20Path%3D%2F").c_str(), 0, &body.text, &body.length,
                          nullptr),
              0);
    const std::string url = server.Url("");
    QORHttpHeapText stored;
    ASSERT_EQ(QORSysGetCookie(url.c_str(), "driverjar", stored.Put(), 4), 0);
    EXPECT_TRUE(Has(stored.Get(), "driverjar=v1")) << stored.Get();
    char jar[1024] = {};
    DWORD size = sizeof jar;
    ASSERT_TRUE(::InternetGetCookieA(url.c_str(), nullptr, jar, &size));
    EXPECT_TRUE(Has(jar, "driverjar=v1")) << jar;
}

TEST_F(WinInetDriverEcho, RedirectsAreResolvedAgainstTheRequestOrKeptWhenAskedSo) {
    const std::string other = "http://localhost:" + std::to_string(server.Port());
    struct Case {
        const char* name;
        std::string pathAndQuery;
        std::uint32_t flags;
        std::string body;  // the echo's request line, or the whole body
    } cases[] = {
        {"a relative target in the request's folder", "a/b?location=next%3Fecho%3D1", 0, "GET /a/next?echo=1 HTTP/1.1"},
        {"another host is followed", "a/b?location=" + other + "/echo", 0, "GET /echo HTTP/1.1"},
        {"not followed when asked so", "a/b?location=/echo", 0x200000, "status asked for\n"},
    };
    for (const Case& c : cases) {
        auto driver = MakeDriver("WinINet driver test: redirects");
        Body body;
        EXPECT_EQ(driver->Get(server.Url(c.pathAndQuery).c_str(), c.flags, &body.text, &body.length, nullptr), 0)
            << c.name;
        const std::string text = body.Text();
        if (c.flags == 0) {
            EXPECT_NE(text.find("\r\n" + c.body + "\r\n"), std::string::npos) << c.name << ": " << text;
        } else {
            EXPECT_EQ(text, c.body) << c.name;
        }
    }
}

TEST_F(WinInetDriverEcho, DecodedAnswersAskForEncodingOnceAndKeepTheirWholeBody) {
    auto driver = MakeDriver("WinINet driver test: decoding");
    const std::uint32_t on = 1;
    ASSERT_EQ(driver->SetOptions(QORHTTP_OPTION_HTTP_DECODING, &on, 4), 0);
    Body body;
    // Through a redirect: every round's request is made afresh.
    ASSERT_EQ(driver->Get(server.Url("a?location=/echo%3Fgzip%3D1").c_str(), 0, &body.text, &body.length, nullptr), 0)
        << body.Text();
    const std::string text = body.Text();
    EXPECT_NE(text.find("\r\nGET /echo?gzip=1 HTTP/1.1\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\r\nAccept-Encoding: gzip, deflate\r\n"), std::string::npos) << text;

    // Decoding belongs to that driver's requests, not to the connection another driver shares.
    auto plain = MakeDriver("WinINet driver test: decoding");
    Body encoded;
    ASSERT_EQ(plain->Get(server.Url("echo?gzip=1").c_str(), 0, &encoded.text, &encoded.length, nullptr), 0);
    EXPECT_EQ(encoded.Text().rfind("\x1f\x8b", 0), 0u) << encoded.Text().substr(0, 40);
}

TEST_F(WinInetDriverEcho, BodyCutShortFailsItsDownloadInPieces) {
    auto driver = MakeDriver("WinINet driver test: short body");
    const std::uint32_t bodyMode = 0;
    ASSERT_EQ(driver->SetOptions(QORHTTP_OPTION_BODY_MODE, &bodyMode, 4), 0);
    // The server announces the length given, sends its short echo and closes.
    ASSERT_EQ(driver->Get(server.Url("echo?length=100000").c_str(), 0, nullptr, nullptr, nullptr), 0);
    HRESULT rc = 0;
    std::uint32_t done = 0;
    std::uint64_t received = 0;
    for (int piece = 0; rc == 0 && done == 0 && piece < 64; ++piece) {
        Body body;
        rc = driver->DownloadEx(0x1000, &body.length, &body.text, &done);
        received += body.length;
    }
    EXPECT_EQ(rc, -4) << received << " bytes";
    EXPECT_EQ(done, 0u);
}

// A body whose first piece fails with a given result.
class FailingStreamer final : public QORHttpStreamer {
public:
    explicit FailingStreamer(HRESULT failure) : failure_(failure) {}
    HRESULT GetSize(std::uint64_t* outTotal, std::uint32_t* outChunked) override {
        *outTotal = 10;
        *outChunked = 0;
        return 0;
    }
    HRESULT GetNext(const char**, std::uint32_t*, std::uint32_t*) override { return failure_; }
    HRESULT Rewind() override {
        ++rewinds;
        return 0;
    }
    int rewinds = 0;

private:
    HRESULT failure_;
};

TEST_F(WinInetDriverEcho, StreamerFailuresEndTheUploadAsTheyAre) {
    struct Case {
        const char* name;
        HRESULT failure;
    } cases[] = {
        {"a plain failure", E_FAIL},
        // Its low word is WinINet's "send again".
        {"a failure that is no Win32 code", static_cast<HRESULT>(0x80042F00)},
    };
    for (const Case& c : cases) {
        auto driver = MakeDriver("WinINet driver test: streamer");
        FailingStreamer streamer(c.failure);
        Body body;
        EXPECT_EQ(driver->PostStream(server.Url("echo").c_str(), 0, QORHTTP_CONTENT_OCTETS, &streamer, nullptr,
                                     &body.text, &body.length),
                  c.failure)
            << c.name;
        EXPECT_EQ(streamer.rewinds, 0) << c.name;
    }
}

TEST_F(WinInetDriverEcho, RequestHandleClosesInEveryCloseMode) {
    auto driver = MakeDriver("WinINet driver test: close");
    Body body;
    ASSERT_EQ(driver->Get(server.Url("echo").c_str(), 0, &body.text, &body.length, nullptr), 0);
    QORHttpInternetInfo* info = driver->InternetInfo();
    ASSERT_TRUE(info && info->request);
    const HINTERNET request = info->request.Get();
    info->closeMode = 2;
    driver->CloseHandle(request);
    EXPECT_FALSE(info->request);
    DWORD type = 0;
    DWORD size = sizeof type;
    EXPECT_FALSE(::InternetQueryOptionA(request, INTERNET_OPTION_HANDLE_TYPE, &type, &size)) << "still open";
}

}  // namespace
