// The WinINet driver against the local test server (plain HTTP).

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "LocalHttpServer.h"
#include "QORHttpAsyncWDriver.h"
#include "QORHttpCaches.h"
#include "QORHttpConnectedState.h"
#include "TestFolder.h"
#include "WDriverTestSupport.h"

namespace {

using namespace std::chrono_literals;

constexpr HRESULT kInvalidUrl = static_cast<HRESULT>(0x80072EE5);

TEST(WinInetDriverOptions, OptionsAreKeptOrRefusedByIdAndLength) {
    QORHttpWDriver driver("WinINet driver test: options", 1, 1);
    const std::uint32_t three = 3, one = 1, window = 0;
    const HWND owner = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(0x4242));
    const std::uint64_t wide = 1;
    struct Case {
        const char* name;
        std::uint32_t id;
        const void* value;
        std::uint32_t length;
        HRESULT rc;
    } sets[] = {
        {"access type 3", QORHTTP_OPTION_CONNECT_TYPE, &three, 4, 0},
        {"access type 1, ORed in", QORHTTP_OPTION_CONNECT_TYPE, &one, 4, 0},
        {"decoding", QORHTTP_OPTION_HTTP_DECODING, &one, 4, 0},
        {"owner window", QORHTTP_PARENT_WINDOW_HANDLER, &owner, 8, 0},
        {"security flags of 8 bytes", QORHTTP_OPTION_SECURITY, &wide, 8, E_INVALIDARG},
        {"owner window of 4 bytes", QORHTTP_PARENT_WINDOW_HANDLER, &window, 4, E_INVALIDARG},
        {"no value", QORHTTP_OPTION_RECEIVE_TIMEOUT, nullptr, 4, E_INVALIDARG},
        {"no length", QORHTTP_OPTION_RECEIVE_TIMEOUT, &one, 0, E_INVALIDARG},
    };
    for (const Case& c : sets) EXPECT_EQ(driver.SetOptions(c.id, c.value, c.length), c.rc) << c.name;
    struct Read {
        const char* name;
        std::uint32_t id;
        std::uint32_t length;
        std::uint64_t value;
    } reads[] = {
        {"access type", QORHTTP_OPTION_CONNECT_TYPE, 4, 3},
        {"decoding", QORHTTP_OPTION_HTTP_DECODING, 4, 1},
        {"owner window", QORHTTP_PARENT_WINDOW_HANDLER, 8, 0x4242},
    };
    for (const Read& r : reads) {
        std::uint32_t length = 0;
        ASSERT_EQ(driver.GetOptions(r.id, nullptr, &length), 0) << r.name;
        EXPECT_EQ(length, r.length) << r.name;
        std::uint64_t value = 0;
        ASSERT_EQ(driver.GetOptions(r.id, &value, &length), 0) << r.name;
        EXPECT_EQ(value, r.value) << r.name;
    }
    EXPECT_EQ(driver.GetType(), 'W');
}

// An https send error either goes to the user or ends the request as it is.
TEST(WinInetDriverResend, OnlyTheListedHttpsSendErrorsAskTheUser) {
    struct Case {
        const char* name;
        DWORD error;
        int asked;
        HRESULT rc;
    } cases[] = {
        {"a submit redirected from https to http", ERROR_INTERNET_HTTPS_HTTP_SUBMIT_REDIR, 1,
         static_cast<HRESULT>(0x800704C7)},
        {"a post to http", ERROR_INTERNET_POST_IS_NON_SECURE, 0, static_cast<HRESULT>(0x80072F0B)},
    };
    for (const Case& c : cases) {
        ScriptedPrompt prompt(ERROR_CANCELLED);
        QORHttpScopedPrompt installed(prompt);
        auto driver = MakeDriver("WinINet driver test: resend decision");
        // Nothing listens there: WinINet contacts the server only when the request is sent.
        ASSERT_EQ(driver->OpenRequest("POST", "https://127.0.0.1:9/form", 0, nullptr), 0) << c.name;
        HRESULT error = static_cast<HRESULT>(0x80070000u | c.error);
        EXPECT_NE(driver->IsResendRequest(&error), 0) << c.name;
        EXPECT_EQ(error, c.rc) << c.name;
        EXPECT_EQ(prompt.asked, c.asked) << c.name;
    }
}

class WinInetDriver : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(served);
        ASSERT_NE(server.Port(), 0) << server.Error();
    }

    std::string Serve(const std::string& name, std::size_t size) {
        const std::string bytes = Pattern(size);
        WriteFile(served + L"\\" + std::wstring(name.begin(), name.end()), bytes);
        return bytes;
    }

    TestFolder folder;
    std::wstring served = folder.In(L"www");
    LocalHttpServer server{served};
    // No test may reach the real dialog: the test display leaves it waiting for a click.
    ScriptedPrompt prompt{ERROR_CANCELLED};
    QORHttpScopedPrompt installedPrompt{prompt};
};

TEST_F(WinInetDriver, GetAnswersTheBodyOrMinusTheStatus) {
    const std::string file = Serve("file.bin", 200000);
    const std::string small = Serve("small.txt", 10);
    struct Case {
        const char* name;
        std::string pathAndQuery;
        std::uint32_t keepErrorBody;
        HRESULT rc;
        std::string body;
    } cases[] = {
        {"whole file by Content-Length", "file.bin", 0, 0, file},
        {"small file", "small.txt", 0, 0, small},
        {"missing file, body dropped", "missing.bin", 0, -404, ""},
        {"missing file, body kept", "missing.bin", 1, -404, "no such file\n"},
        {"server error, body kept", "small.txt?status=500", 1, -500, "status asked for\n"},
    };
    auto driver = MakeDriver("WinINet driver test: get table");
    for (const Case& c : cases) {
        ASSERT_EQ(driver->SetOptions(QORHTTP_KEEP_ERROR_BODY, &c.keepErrorBody, 4), 0) << c.name;
        Body body;
        std::uint32_t keepAlive = 7;
        EXPECT_EQ(driver->Get(server.Url(c.pathAndQuery).c_str(), 0, &body.text, &body.length, &keepAlive), c.rc)
            << c.name;
        EXPECT_EQ(body.Text(), c.body) << c.name;
        EXPECT_EQ(keepAlive, 1u) << c.name;
    }
}

TEST_F(WinInetDriver, PortAbove65535IsRefusedBeforeAnyConnection) {
    struct Case {
        const char* name;
        std::string url;
        HRESULT rc;
    } cases[] = {
        {"five digits above the range", "http://127.0.0.1:99999/x", kInvalidUrl},
        {"one above the range", "http://127.0.0.1:65536/x", kInvalidUrl},
        {"wrapping round 2^32 to 80", "http://127.0.0.1:4294967376/x", kInvalidUrl},
    };
    auto driver = MakeDriver("WinINet driver test: ports");
    for (const Case& c : cases) {
        Body body;
        EXPECT_EQ(driver->Get(c.url.c_str(), 0, &body.text, &body.length, nullptr), c.rc) << c.name;
    }
    EXPECT_TRUE(server.Requests().empty());
}

// An answer that does not come within the receive time-out fails, never as a short success.
TEST_F(WinInetDriver, SlowAnswersFailWithinTheReceiveTimeOut) {
    Serve("stall.bin", 100000);
    struct Case {
        const char* name;
        const char* query;
        HRESULT rc;
    } cases[] = {
        // WinINet then reads an empty head: not an HTTP answer.
        {"head 3 s late", "stall.bin?delay=3000", -7},
        {"body stalls", "stall.bin?stall=1000", -8},
    };
    for (const Case& c : cases) {
        auto driver = MakeDriver("WinINet driver test: slow answers", 1000);
        Body body;
        const auto began = std::chrono::steady_clock::now();
        EXPECT_EQ(driver->Get(server.Url(c.query).c_str(), 0, &body.text, &body.length, nullptr), c.rc) << c.name;
        EXPECT_LT(std::chrono::steady_clock::now() - began, 2900ms) << c.name;
        EXPECT_EQ(body.text, nullptr) << c.name;
    }
}

TEST_F(WinInetDriver, ReceiveTimeOutsStayWithEachDriverOnOneHost) {
    // Three pieces a second apart: only the patient driver gets the whole body. A time-out in the
    // body reads as -8; under Wine one that strikes before the head is complete reads as -7.
    const std::string slow = Serve("slow.bin", 3 * 65536);
    auto hasty = MakeDriver("WinINet driver test: shared host", 400);
    auto patient = MakeDriver("WinINet driver test: shared host", 6000);
    struct Case {
        const char* name;
        QORHttpWDriver* driver;
        bool timesOut;
    } cases[] = {
        {"hasty first", hasty.get(), true},
        {"patient after it", patient.get(), false},
        {"hasty again", hasty.get(), true},
    };
    for (const Case& c : cases) {
        Body body;
        const HRESULT rc = c.driver->Get(server.Url("slow.bin?rate=64").c_str(), 0, &body.text, &body.length, nullptr);
        if (c.timesOut) {
            EXPECT_TRUE(rc == -8 || rc == -7) << c.name << ": " << rc;
        } else {
            EXPECT_EQ(rc, 0) << c.name;
            EXPECT_EQ(body.Text(), slow) << c.name;
        }
    }
    EXPECT_EQ(hasty->Session(), patient->Session());
}

TEST_F(WinInetDriver, TwoDriversWithOneUserAgentShareSessionAndConnection) {
    Serve("a.txt", 100);
    auto first = MakeDriver("WinINet driver test: reuse");
    auto second = MakeDriver("WinINet driver test: reuse");
    auto other = MakeDriver("WinINet driver test: reuse, another agent");
    for (QORHttpWDriver* driver : {first.get(), second.get(), other.get()}) {
        Body body;
        ASSERT_EQ(driver->Get(server.Url("a.txt").c_str(), 0, &body.text, &body.length, nullptr), 0);
    }
    EXPECT_NE(first->Session(), nullptr);
    EXPECT_EQ(first->Session(), second->Session());
    EXPECT_NE(first->Session(), other->Session());
    EXPECT_NE(ZYNSysGetConnection("127.0.0.1", server.Port(), first->Session()), nullptr);
    EXPECT_NE(ZYNSysGetConnection("127.0.0.1", server.Port(), other->Session()), nullptr);
}

// The cached connection serves every driver of the process: nothing of one request or one
// driver may stay on it.
TEST_F(WinInetDriver, CachedConnectionKeepsNoRequestContextNorTimeOuts) {
    Serve("a.txt", 100);
    auto driver = MakeDriver("WinINet driver test: connection state", 4321);
    Body body;
    ASSERT_EQ(driver->Get(server.Url("a.txt").c_str(), 0, &body.text, &body.length, nullptr), 0);
    HINTERNET connection = ZYNSysGetConnection("127.0.0.1", server.Port(), driver->Session());
    ASSERT_NE(connection, nullptr);
    DWORD_PTR context = 1;
    DWORD size = sizeof context;
    ASSERT_TRUE(::InternetQueryOptionA(connection, INTERNET_OPTION_CONTEXT_VALUE, &context, &size));
    EXPECT_EQ(context, 0u);
    DWORD timeout = 0;
    size = sizeof timeout;
    ASSERT_TRUE(::InternetQueryOptionA(connection, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, &size));
    EXPECT_NE(timeout, 4321u);
}

// WinINet's view of the network, reported offline to whoever asks.
class OfflineState final : public QORHttpConnectedState {
public:
    OfflineState() : previous_(QORHttpSetConnectedState(this)) {}
    ~OfflineState() override { QORHttpSetConnectedState(previous_); }
    BOOL Get(DWORD* flags) override {
        ++asked;
        *flags = INTERNET_CONNECTION_OFFLINE;
        return FALSE;
    }
    int asked = 0;

private:
    QORHttpConnectedState* previous_;
};

// Before each request the driver asks whether WinINet is offline, and puts it online for a local
// server. Under Wine the connected state reads as online whatever is set: the forcing itself
// leaves no trace to check here.
TEST_F(WinInetDriver, WinINetOfflineIsAskedAboutBeforeEachRequest) {
    Serve("a.txt", 10);
    const std::string url = "http://localhost:" + std::to_string(server.Port()) + "/a.txt";
    OfflineState offline;
    auto driver = MakeDriver("WinINet driver test: offline");
    for (int request = 1; request <= 2; ++request) {
        Body body;
        EXPECT_EQ(driver->Get(url.c_str(), 0, &body.text, &body.length, nullptr), 0) << "request " << request;
        EXPECT_EQ(offline.asked, request) << "request " << request;
    }
}

// A driver whose server, after `answers` answers, closes the connection of the next request
// unanswered: its head goes out, its body meets the close, and so does every later head (or,
// with everyHead, every later body), `closes` times in all (-1: for ever); then requests reach
// the server again. Each close comes
// as WinINet tells of it: the notice through the status callback, then the call's failure.
// The test server's hangup cannot show this under Wine, whose HttpEndRequest reports a reset
// connection as a success with an empty answer.
class ClosingServerDriver final : public QORHttpWDriver {
public:
    ClosingServerDriver(int answers, int closes, bool everyHead)
        : QORHttpWDriver("WinINet driver test: closed connections", 1, 1),
          answersLeft_(answers),
          closesLeft_(closes),
          everyHead_(everyHead) {
        BoundTimeOuts(*this);
    }
    // Every head the driver sent, those that met a close included.
    int heads = 0;

    DWORD QXHttpSendRequestEx(INTERNET_BUFFERSA* buffers) override {
        ++heads;
        if (!Closing()) return QORHttpWDriver::QXHttpSendRequestEx(buffers);
        if (!headOut_ || everyHead_) {
            headOut_ = true;
            return 0;
        }
        return Close();
    }
    DWORD QXHttpInternetWriteFile(const char* data, std::uint32_t length, std::uint32_t* outWritten) override {
        return Closing() ? Close() : QORHttpWDriver::QXHttpInternetWriteFile(data, length, outWritten);
    }
    DWORD QXHttpEndRequest() override {
        if (Closing()) return Close();
        const DWORD error = QORHttpWDriver::QXHttpEndRequest();
        if (answersLeft_ > 0) --answersLeft_;
        return error;
    }

private:
    bool Closing() const { return answersLeft_ == 0 && closesLeft_ != 0; }
    DWORD Close() {
        if (closesLeft_ > 0) --closesLeft_;
        QORHttpInternetInfo* info = InternetInfo();
        QORHttpAsyncWDriver::inetCallBackFn(info->request.Get(), reinterpret_cast<DWORD_PTR>(info),
                                            INTERNET_STATUS_CONNECTION_CLOSED, nullptr, 0);
        return ERROR_INTERNET_CONNECTION_RESET;
    }
    int answersLeft_;
    int closesLeft_;
    bool everyHead_;
    bool headOut_ = false;
};

TEST_F(WinInetDriver, AConnectionClosedUnansweredIsSentAgainWithinTheLimit) {
    const HRESULT reset = static_cast<HRESULT>(0x80070000u | ERROR_INTERNET_CONNECTION_RESET);
    struct Case {
        const char* name;
        std::string pathAndQuery;
        int answers;
        int closes;
        bool everyHead;
        bool streamed;
        HRESULT rc;
        int heads;
    } cases[] = {
        {"closed once, answered when sent again", "echo", 0, 1, false, false, 0, 2},
        // On the context of a request whose first round got its 401 and the user's retry: bytes
        // received then do not hide this round's close, and a head that went out in an earlier
        // send does not count for a later one. The round whose body met the close, then one head
        // and the two sends again that a closed connection gets.
        {"closed for ever after a 401", "echo?status=401", 1, -1, false, false, reset, 1 + 1 + 3},
        // Closes enough to go on past any bound, few enough to end when there is none.
        {"closed after every head", "echo", 0, 20, true, false, reset, 3},
        {"closed after every head of a streamed upload", "echo", 0, 20, true, true, reset, 3},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(served + L".requests");
        ScriptedPrompt retried(ERROR_INTERNET_FORCE_RETRY);
        QORHttpScopedPrompt installed(retried);
        ClosingServerDriver driver(c.answers, c.closes, c.everyHead);
        PieceStreamer streamer("abc", 0);
        Body body;
        const std::string url = server.Url(c.pathAndQuery);
        EXPECT_EQ(c.streamed ? driver.PostStream(url.c_str(), 0, QORHTTP_CONTENT_OCTETS, &streamer, nullptr, &body.text,
                                                 &body.length)
                             : driver.Post(url.c_str(), 0, "abc", 3, QORHTTP_CONTENT_OCTETS, nullptr, &body.text,
                                           &body.length),
                  c.rc)
            << c.name;
        EXPECT_EQ(driver.heads, c.heads) << c.name;
        EXPECT_EQ(retried.asked, c.answers) << c.name;
        // The answered ones: the 401, the last round's.
        EXPECT_EQ(server.Requests().size(), static_cast<std::size_t>(c.answers + (c.rc == 0))) << c.name;
        if (c.rc == 0) {
            EXPECT_NE(body.Text().find("BODY 3\r\n\r\nabc"), std::string::npos) << c.name;
        }
    }
}

// The caller's user name and password, read back from the last round's request, where WinINet
// answers a server's challenge with them.
TEST_F(WinInetDriver, UserNameAndPasswordStayWithTheFirstRoundsServer) {
    const std::string other = "http://localhost:" + std::to_string(server.Port());
    struct Case {
        const char* name;
        std::string pathAndQuery;
        std::string credentials;
    } cases[] = {
        {"redirected on that server", "a?location=/echo", "user:secret"},
        {"redirected to another host", "a?location=" + other + "/echo", ":"},
    };
    auto text = [](HINTERNET request, DWORD option) {
        char value[64] = {};
        DWORD size = sizeof value;
        return ::InternetQueryOptionA(request, option, value, &size) ? std::string(value) : "(none)";
    };
    for (const Case& c : cases) {
        auto driver = MakeDriver("WinINet driver test: credentials over redirects");
        ASSERT_EQ(driver->SetOptions(QORHTTP_OPTION_USERNAME, "user", 4), 0) << c.name;
        ASSERT_EQ(driver->SetOptions(QORHTTP_OPTION_PASSWORD, "secret", 6), 0) << c.name;
        Body body;
        ASSERT_EQ(driver->Get(server.Url(c.pathAndQuery).c_str(), 0, &body.text, &body.length, nullptr), 0) << c.name;
        const QORHttpInternetInfo* info = driver->InternetInfo();
        ASSERT_TRUE(info && info->request) << c.name;
        EXPECT_EQ(text(info->request.Get(), INTERNET_OPTION_USERNAME) + ":" +
                      text(info->request.Get(), INTERNET_OPTION_PASSWORD),
                  c.credentials)
            << c.name;
    }
}

TEST_F(WinInetDriver, CredentialDemandsAskThroughThePromptWithTheOwnerWindow) {
    const HWND owner = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(0x5150));
    struct Case {
        const char* name;
        DWORD answer;
        HRESULT rc;
        int asked;
        std::size_t requests;
    } cases[] = {
        // Nobody to ask: the prompt gives the error back, and the request fails with it.
        {"nobody to ask", ERROR_INTERNET_INCORRECT_PASSWORD, static_cast<HRESULT>(0x80072EEE), 1, 1},
        {"cancelled", ERROR_CANCELLED, static_cast<HRESULT>(0x800704C7), 1, 1},
        // Retried as asked, with no more dialogs from the third round on, up to the depth.
        {"always retried", ERROR_INTERNET_FORCE_RETRY, -401, 3, 11},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(served + L".requests");
        ScriptedPrompt scripted(c.answer);
        QORHttpScopedPrompt installed(scripted);
        auto driver = MakeDriver("WinINet driver test: credentials");
        ASSERT_EQ(driver->SetOptions(QORHTTP_PARENT_WINDOW_HANDLER, &owner, 8), 0) << c.name;
        Body body;
        EXPECT_EQ(driver->Get(server.Url("a.txt?status=401").c_str(), 0, &body.text, &body.length, nullptr), c.rc)
            << c.name;
        EXPECT_EQ(scripted.asked, c.asked) << c.name;
        EXPECT_EQ(scripted.lastError, static_cast<DWORD>(ERROR_INTERNET_INCORRECT_PASSWORD)) << c.name;
        EXPECT_EQ(scripted.lastOwner, owner) << c.name;
        EXPECT_EQ(server.Requests().size(), c.requests) << c.name;
    }
}

}  // namespace
