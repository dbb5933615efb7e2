// The raw-socket driver through the facade with "HTTPDriver" set, in child processes (the
// choice of driver and the proxy are read once per process), against the local test server:
// its echo, its raw answers of exact bytes and its log of the request heads it received.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "LocalHttpServer.h"
#include "QORHttpCookie.h"
#include "QORHttpDirectFacade.h"
#include "QORHttpQXDriver.h"
#include "TestFolder.h"
#include "ZYNSysWin.h"

namespace {

using Env = std::vector<ChildProcess::EnvironmentChange>;

constexpr char kRecord = '\x1e';
constexpr char kField = '\x1f';
constexpr const wchar_t* kScriptVariable = L"VAROMET_RAW_SCRIPT";
constexpr int kInvalidArg = static_cast<int>(E_INVALIDARG);
constexpr int kInvalidUrl = static_cast<int>(0x80072EE5);
constexpr int kLongerThanAnnounced = static_cast<int>(0x80080011);

// Bytes as a test reads them: printable ASCII as it is, the rest escaped.
std::string Escape(const char* data, std::size_t length) {
    std::string out;
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        char hex[8];
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7F) {
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string Escape(const std::string& text) { return Escape(text.data(), text.size()); }

// The steps of VAROMET_RAW_SCRIPT, each its fields (op, url, data); false without a script.
bool ReadScript(std::vector<std::vector<std::string>>* steps) {
    std::string script(1 << 20, '\0');
    const DWORD length = ::GetEnvironmentVariableA("VAROMET_RAW_SCRIPT", &script[0], static_cast<DWORD>(script.size()));
    if (length == 0 || length >= script.size()) return false;
    script.resize(length);
    std::stringstream records(script);
    for (std::string record; std::getline(records, record, kRecord);) {
        std::vector<std::string> fields;
        std::stringstream split(record);
        for (std::string field; std::getline(split, field, kField);) fields.push_back(field);
        fields.resize(3);
        steps->push_back(fields);
    }
    return true;
}

constexpr char kCredentials[] = "dXNlcjpwdw==";

// A raw-socket driver with credentials to give when a server or proxy asks, as one that asks
// its user would.
class CredentialedDriver final : public QORHttpQXDriver {
public:
    using QORHttpQXDriver::QORHttpQXDriver;
    HRESULT GetCredentials(const char*, std::uint32_t, const char*, const char*, char** outCredentials) override {
        *outCredentials = static_cast<char*>(std::malloc(sizeof kCredentials));
        if (*outCredentials == nullptr) return E_OUTOFMEMORY;
        std::memcpy(*outCredentials, kCredentials, sizeof kCredentials);
        return 0;
    }
};

}  // namespace

// Runs the steps of VAROMET_RAW_SCRIPT on one facade and prints one "RESULT rc=<rc> body=<body>"
// line per step. Steps: GET, DELETE, POST (with data), DLX (a request whose body is read in
// pieces through DownloadEx), COOKIE (data stored for the url in the cookie store), ENCODE (the
// URL encode mode, hexadecimal data).
VAROMET_CHILD_CASE(RawFacadeScript) {
    std::vector<std::vector<std::string>> steps;
    if (!ReadScript(&steps)) return 3;
    QORHttpDirectFacade facade("Raw driver test", 1, 1);
    const std::uint32_t ms = 5000;
    for (std::uint32_t option : {6u, 5u, 2u}) facade.SetOptions(option, &ms, 4);
    for (const std::vector<std::string>& fields : steps) {
        const std::string& op = fields[0];
        const char* url = fields[1].c_str();
        const std::string& data = fields[2];
        char* body = nullptr;
        std::uint64_t bodyLength = 0;
        std::uint32_t keepAlive = 0;
        std::string text;
        HRESULT rc = E_NOTIMPL;
        if (op == "GET") {
            rc = facade.GetWithBody(url, 0, &body, &bodyLength, &keepAlive);
        } else if (op == "DELETE") {
            rc = facade.Delete(url, 0, &body, &bodyLength, &keepAlive);
        } else if (op == "POST") {
            rc = facade.PostWithBody(url, 0, data.data(), data.size(), 2, &keepAlive, &body, &bodyLength);
        } else if (op == "ENCODE") {
            const std::uint32_t mode = static_cast<std::uint32_t>(std::strtoul(data.c_str(), nullptr, 16));
            rc = facade.SetOptions(0x20000000, &mode, 4);
        } else if (op == "COOKIE") {
            rc = QORSysSetCookie(url, data.c_str(), 1);
        } else if (op == "DLX") {
            rc = facade.Get(url, 0, &keepAlive);
            std::uint32_t done = 0;
            for (int piece = 0; rc == 0 && done == 0 && piece < 64; ++piece) {
                std::uint64_t got = 0;
                rc = facade.DownloadEx(0x1000, &got, &body, &done);
                if (body != nullptr) text.append(body, got);
            }
            // The wrapper left its body mode in the driver: the next GetWithBody reads bodies again.
            const std::uint32_t whole = 1;
            facade.SetOptions(10001, &whole, 4);
        }
        if (body != nullptr && op != "DLX") text.assign(body, bodyLength);
        std::free(body);
        // A large body is told by its length: a failing test prints what it got.
        if (text.size() > 4096) text = text.substr(0, 64) + "... (" + std::to_string(text.size()) + " bytes)";
        std::printf("RESULT rc=%d body=%s\n", static_cast<int>(rc), Escape(text).c_str());
        std::fflush(stdout);
    }
    return 0;
}

// Runs the GET steps of VAROMET_RAW_SCRIPT, each on a raw-socket driver of its own destroyed
// after it: "GET" on a plain driver, "ASK" on one that gives credentials when asked.
VAROMET_CHILD_CASE(RawDriverScript) {
    std::vector<std::vector<std::string>> steps;
    if (!ReadScript(&steps)) return 3;
    for (const std::vector<std::string>& fields : steps) {
        std::unique_ptr<QORHttpQXDriver> driver;
        if (fields[0] == "ASK") {
            driver = std::make_unique<CredentialedDriver>("Raw driver test", 1, 1);
        } else {
            driver = std::make_unique<QORHttpQXDriver>("Raw driver test", 1, 1);
        }
        const std::uint32_t ms = 5000;
        for (std::uint32_t option : {6u, 5u, 2u}) driver->SetOptions(option, &ms, 4);
        char* body = nullptr;
        std::uint64_t length = 0;
        const HRESULT rc = driver->Get(fields[1].c_str(), 0, &body, &length, nullptr);
        std::printf("RESULT rc=%d body=%s\n", static_cast<int>(rc), Escape(body != nullptr ? body : "", length).c_str());
        std::fflush(stdout);
        std::free(body);
    }
    return 0;
}

namespace {

struct Step {
    std::string op;
    std::string url;
    std::string data = {};
};

struct Outcome {
    int rc = 0;
    std::string body;  // escaped
};

// The server's connection 1 is the test's own: the driver's connections count from 2.
class RawDriver : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(served);
        ASSERT_NE(server.Port(), 0) << server.Error();
    }

    // A raw answer: the file's exact bytes are what the server sends.
    std::string Raw(const std::string& name, const std::string& bytes, const std::string& query = "") {
        std::ofstream out(std::filesystem::path(served + L"\\" + std::wstring(name.begin(), name.end())),
                          std::ios::binary);
        out << bytes;
        return server.Url("raw/" + name + query);
    }

    std::vector<Outcome> Run(const std::vector<Step>& steps, Env environment = {}, std::string* output = nullptr,
                             const char* childCase = "RawFacadeScript") {
        std::string script;
        for (const Step& step : steps) script += step.op + kField + step.url + kField + step.data + kRecord;
        environment.push_back({L"HTTPDriver", L""});
        environment.push_back({kScriptVariable, std::wstring(script.begin(), script.end())});
        const ChildProcess::Result child = ChildProcess::Run(childCase, environment);
        EXPECT_TRUE(child.started) << child.output;
        EXPECT_EQ(child.exitCode, 0u) << child.output;
        const std::string text = ChildProcess::TextOutput(child);
        if (output != nullptr) *output = text;
        std::vector<Outcome> outcomes;
        std::stringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("RESULT rc=", 0) != 0) continue;
            Outcome outcome;
            outcome.rc = std::atoi(line.c_str() + 10);
            const std::size_t body = line.find(" body=");
            if (body != std::string::npos) outcome.body = line.substr(body + 6);
            outcomes.push_back(outcome);
        }
        EXPECT_EQ(outcomes.size(), steps.size()) << text;
        outcomes.resize(steps.size());
        return outcomes;
    }

    // The request heads the server received, each "=== <connection id>" and the head's lines.
    std::vector<std::string> Heads() const {
        std::ifstream in(std::filesystem::path(served + L".requests.heads"), std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        std::vector<std::string> heads;
        const std::string text = all.str();
        for (std::size_t at = text.find("=== "); at != std::string::npos;) {
            const std::size_t next = text.find("=== ", at + 4);
            heads.push_back(text.substr(at, next == std::string::npos ? std::string::npos : next - at));
            at = next;
        }
        return heads;
    }

    TestFolder folder;
    std::wstring served = folder.In(L"www");
    LocalHttpServer server{served};
};

// The server closes the connection after each raw answer. Said in the head, the driver drops the
// connection itself: left to notice the close, it may reuse it just before the close arrives.
std::string Chunked(const std::string& chunks, const std::string& after = "") {
    return "HTTP/1.1 200 OK\r\nConnection: close\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks + after;
}

TEST_F(RawDriver, ResponsesAreFramedByLengthChunksOrTheClose) {
    const std::string hello = "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 5\r\n\r\nhello";
    struct Case {
        const char* name;
        std::string bytes;
        std::string query;
        int rc;
        std::string body;
    } cases[] = {
        {"by Content-Length", hello, "", 0, "hello"},
        {"chunks of 5 and 3", Chunked("5\r\nabcde\r\n3\r\nfgh\r\n0\r\n\r\n"), "", 0, "abcdefgh"},
        {"chunk extension and capitals", Chunked("A;x=1\r\n0123456789\r\n0\r\n\r\n"), "", 0, "0123456789"},
        {"trailers after the last chunk", Chunked("3\r\nabc\r\n0\r\nX-Sum: 1\r\nX-More: 2\r\n\r\n"), "", 0, "abc"},
        {"chunk without its CRLF", Chunked("3\r\nabcXY0\r\n\r\n"), "", -4, ""},
        {"chunk size not hexadecimal", Chunked("zz\r\nabc\r\n0\r\n\r\n"), "", -7, ""},
        {"chunk size beyond 64 bits", Chunked("1ffffffffffffffff\r\nabc\r\n"), "", -7, ""},
        {"chunk size above the body cap", Chunked("7fffffffffffffff\r\nabc\r\n"), "", -12, ""},
        {"read until the close", "HTTP/1.1 200 OK\r\n\r\nto the end", "", 0, "to the end"},
        {"closed inside the body", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabcd", "", -12, ""},
        {"encoded, closed inside the body",
         "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 10\r\n\r\nabcd", "", -12, ""},
        {"Continue, then the answer", "HTTP/1.1 100 Continue\r\n\r\n" + hello, "", 0, "hello"},
        {"eight interim heads", hello, "?interim=8", 0, "hello"},
        {"nine interim heads", hello, "?interim=9", -7, ""},
        {"interim heads without end", hello, "?interim=endless", -7, ""},
        {"a head of 100 KiB", "HTTP/1.1 200 OK\r\nX-Big: " + std::string(100 << 10, 'a') + "\r\n\r\n", "", -7, ""},
        {"a head of 1 MiB", "HTTP/1.1 200 OK\r\nX-Big: " + std::string(1 << 20, 'a') + "\r\n\r\n", "", -7, ""},
        {"negative Content-Length", "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\nabc", "", -7, ""},
        {"20-digit Content-Length", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\nabc", "", -7, ""},
        {"Content-Length above the body cap", "HTTP/1.1 200 OK\r\nContent-Length: 4294967296\r\n\r\nabc", "", -12, ""},
        {"a whole body one byte above the cap",
         "HTTP/1.1 200 OK\r\nContent-Length: 67108865\r\n\r\n" + std::string((64 << 20) + 1, 'b'), "", -12, ""},
        {"not found", "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\ngone", "", -404, ""},
    };
    std::vector<Step> steps;
    int n = 0;
    for (const Case& c : cases) steps.push_back({"GET", Raw("r" + std::to_string(n++), c.bytes, c.query)});
    const std::vector<Outcome> outcomes = Run(steps);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(outcomes[i].rc, cases[i].rc) << cases[i].name;
        EXPECT_EQ(outcomes[i].body, Escape(cases[i].body)) << cases[i].name;
    }
}

TEST_F(RawDriver, KeptConnectionIsReusedUntilTheServerAsksToCloseIt) {
    struct Case {
        const char* name;
        std::string url;
        int rc;
        std::string connection;  // the echo's first line, escaped
    } cases[] = {
        {"first request", server.Url("echo"), 0, "CONNECTION 2\\r\\n"},
        {"same host and port again", server.Url("echo"), 0, "CONNECTION 2\\r\\n"},
        {"the server asks to close", server.Url("echo?header=Connection:%20close"), 0, "CONNECTION 2\\r\\n"},
        {"a new connection after the close", server.Url("echo"), 0, "CONNECTION 3\\r\\n"},
        {"an answer cut short on a kept connection",
         Raw("cut", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nab", "?keep=1"), -12, ""},
        {"the cut connection is not reused", server.Url("echo"), 0, "CONNECTION 4\\r\\n"},
    };
    std::vector<Step> steps;
    for (const Case& c : cases) steps.push_back({"GET", c.url});
    const std::vector<Outcome> outcomes = Run(steps);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(outcomes[i].rc, cases[i].rc) << cases[i].name;
        EXPECT_EQ(outcomes[i].body.substr(0, cases[i].connection.size()), cases[i].connection) << cases[i].name;
    }
}

TEST_F(RawDriver, EncodedBodyIsBoundedByItsLengthOnAKeptConnection) {
    // The driver decodes nothing: the length frames an encoded body too, and the connection
    // the server keeps carries the next request.
    const std::vector<Outcome> outcomes = Run({{"GET", server.Url("echo?gzip=1")}, {"GET", server.Url("echo")}});
    EXPECT_EQ(outcomes[0].rc, 0);
    EXPECT_EQ(outcomes[0].body.substr(0, 8), "\\x1F\\x8B") << outcomes[0].body;
    EXPECT_EQ(outcomes[1].rc, 0);
    EXPECT_EQ(outcomes[1].body.substr(0, 16), "CONNECTION 2\\r\\n") << outcomes[1].body;
}

TEST_F(RawDriver, RequestHeadCarriesHostPortAgentAndTheStoredCookiesOnOneLine) {
    const std::string port = std::to_string(server.Port());
    const std::vector<Step> steps = {
        {"COOKIE", server.Url(""), "a=1"},
        {"COOKIE", server.Url(""), "b=2"},
        {"GET", server.Url("echo?q=1")},
        {"POST", server.Url("echo/post"), "body!"},
        {"DELETE", server.Url("echo/item")},
    };
    const std::vector<Outcome> outcomes = Run(steps);
    for (const Outcome& outcome : outcomes) EXPECT_EQ(outcome.rc, 0) << outcome.body;
    const std::vector<std::string> heads = Heads();
    ASSERT_EQ(heads.size(), 3u);
    struct Case {
        const char* name;
        std::size_t head;
        std::string line;
    } cases[] = {
        {"request line of the GET", 0, "=== 2\r\nGET /echo?q=1 HTTP/1.1\r\n"},
        {"Host with the port", 0, "\r\nHost: 127.0.0.1:" + port + "\r\n"},
        {"user agent", 0, "\r\nUser-Agent: Raw driver test\r\n"},
        {"the cookies as one line", 0, "\r\nCookie: a=1; b=2\r\n"},
        {"request line of the POST, same connection", 1, "=== 2\r\nPOST /echo/post HTTP/1.1\r\n"},
        {"POST length", 1, "\r\nContent-Length: 5\r\n"},
        {"request line of the DELETE", 2, "=== 2\r\nDELETE /echo/item HTTP/1.1\r\n"},
    };
    for (const Case& c : cases) EXPECT_NE(heads[c.head].find(c.line), std::string::npos) << c.name << "\n" << heads[c.head];
    EXPECT_NE(outcomes[3].body.find("BODY 5\\r\\n\\r\\nbody!"), std::string::npos) << outcomes[3].body;
}

TEST_F(RawDriver, TheCookieHeaderMatchesTheCookiePathWhateverTheQuery) {
    struct Case {
        const char* name;
        std::string url;
        bool cookie;
    } cases[] = {
        {"the folder itself", server.Url("echo/a"), true},
        {"the folder with a query", server.Url("echo/a?x=1"), true},
        {"the folder with a fragment", server.Url("echo/a#top"), true},
        {"below the folder with a query", server.Url("echo/a/b?x=1"), true},
        {"another folder whose query names the path", server.Url("echo/ab?x=/echo/a/"), false},
    };
    std::vector<Step> steps = {{"COOKIE", server.Url("echo/a/x"), "q=1; Path=/echo/a"}};
    for (const Case& c : cases) steps.push_back({"GET", c.url});
    const std::vector<Outcome> outcomes = Run(steps);
    const std::vector<std::string> heads = Heads();
    ASSERT_EQ(heads.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(outcomes[i + 1].rc, 0) << cases[i].name;
        EXPECT_EQ(heads[i].find("\r\nCookie: q=1\r\n") != std::string::npos, cases[i].cookie)
            << cases[i].name << "\n" << heads[i];
    }
}

TEST_F(RawDriver, ACookieHoldingALineBreakNeverReachesTheRequestHead) {
    const std::vector<Step> steps = {
        {"COOKIE", server.Url(""), "c=1\rX-Injected: y; Path=/"},
        {"COOKIE", server.Url(""), "ok=1"},
        {"GET", server.Url("echo")},
    };
    const std::vector<Outcome> outcomes = Run(steps);
    EXPECT_EQ(outcomes[0].rc, static_cast<int>(E_FAIL));
    const std::vector<std::string> heads = Heads();
    ASSERT_EQ(heads.size(), 1u);
    EXPECT_NE(heads[0].find("\r\nCookie: ok=1\r\n"), std::string::npos) << heads[0];
    EXPECT_EQ(heads[0].find("X-Injected"), std::string::npos) << heads[0];
}

TEST_F(RawDriver, UrlsThatWouldBreakTheWireOrGoOutInClearAreRefusedBeforeAnyByteIsSent) {
    const std::string base = "http://127.0.0.1:" + std::to_string(server.Port());
    struct Case {
        const char* name;
        std::string op;
        std::string url;
        int rc;
    } cases[] = {
        {"https through Delete", "DELETE", "https://127.0.0.1:" + std::to_string(server.Port()) + "/echo", kInvalidArg},
        {"https in capitals through Get", "GET", "HTTPS://127.0.0.1:" + std::to_string(server.Port()) + "/echo", kInvalidArg},
        {"https in mixed capitals", "DELETE", "hTtPs://127.0.0.1/echo", kInvalidArg},
        {"CR LF in the path", "GET", base + "/echo\r\nX-Injected: 1", kInvalidArg},
        {"LF in the path", "GET", base + "/echo\nX-Injected: 1", kInvalidArg},
        {"tab in the path", "GET", base + "/ec\tho", kInvalidArg},
        {"DEL in the path", "GET", base + "/ec\x7Fho", kInvalidArg},
        {"control byte in the host", "GET", "http://127.0.0.1\r\nX-Injected: 1/echo", kInvalidArg},
        {"port above 65535", "GET", "http://127.0.0.1:99999/echo", kInvalidUrl},
        {"port far above 65535", "GET", "http://127.0.0.1:0000000000000080/echo", kInvalidUrl},
    };
    // Without encoding nothing escapes the bytes of the path: only the driver's own check stands.
    std::vector<Step> steps = {{"ENCODE", "", "0"}};
    for (const Case& c : cases) steps.push_back({c.op, c.url});
    steps.push_back({"GET", server.Url("echo")});
    const std::vector<Outcome> outcomes = Run(steps);
    EXPECT_EQ(outcomes[0].rc, 0);
    for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(outcomes[i + 1].rc, cases[i].rc) << cases[i].name;
    // The server's first connection after the test's own is the clean request's: nothing
    // before it reached the server.
    EXPECT_EQ(outcomes.back().rc, 0);
    EXPECT_EQ(outcomes.back().body.substr(0, 16), "CONNECTION 2\\r\\n") << outcomes.back().body;
    EXPECT_EQ(Heads().size(), 1u);
}

TEST_F(RawDriver, BodyLongerThanAnnouncedClosesTheConnectionForTheNextRequest) {
    const std::vector<Step> steps = {
        {"DLX", Raw("long", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello, and more", "?keep=1")},
        {"GET", server.Url("echo")},
        {"DLX", Raw("exact", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", "?keep=1")},
        {"GET", server.Url("echo")},
    };
    const std::vector<Outcome> outcomes = Run(steps);
    EXPECT_EQ(outcomes[0].rc, kLongerThanAnnounced);
    EXPECT_EQ(outcomes[1].rc, 0);
    EXPECT_EQ(outcomes[1].body.substr(0, 16), "CONNECTION 3\\r\\n") << outcomes[1].body;
    EXPECT_EQ(outcomes[2].rc, 0);
    EXPECT_EQ(outcomes[2].body, "hello");
    EXPECT_EQ(outcomes[3].body.substr(0, 16), "CONNECTION 3\\r\\n") << "an exact body keeps the connection: "
                                                                       << outcomes[3].body;
}

TEST_F(RawDriver, BodyCutShortFailsItsDownloadInPieces) {
    // The server announces the length given, sends its short echo and closes.
    const std::vector<Outcome> outcomes = Run({{"DLX", server.Url("echo?length=100000")}});
    EXPECT_EQ(outcomes[0].rc, -12) << outcomes[0].body;
}

TEST_F(RawDriver, ThroughTheProxyTheRequestLineIsAbsoluteAndA407WithoutCredentialsEnds) {
    const Env proxy = {{L"QORHttpProxy", L"127.0.0.1"},
                       {L"QORHttpProxyPort", std::to_wstring(server.Port())}};
    const std::vector<Step> steps = {
        {"GET", "http://example.invalid/echo?x=1"},
        {"GET", "http://[::1]:8080/echo"},
        {"GET", "http://example.invalid/echo?status=407"},
    };
    const std::vector<Outcome> outcomes = Run(steps, proxy);
    EXPECT_EQ(outcomes[0].rc, 0);
    EXPECT_EQ(outcomes[1].rc, 0);
    EXPECT_EQ(outcomes[2].rc, -1) << "no credentials can be had: an error, not another round";
    const std::vector<std::string> heads = Heads();
    ASSERT_EQ(heads.size(), 3u);
    struct Case {
        const char* name;
        std::size_t head;
        std::string line;
    } cases[] = {
        {"absolute request line", 0, "\r\nGET http://example.invalid/echo?x=1 HTTP/1.1\r\n"},
        {"Host names the server, not the proxy", 0, "\r\nHost: example.invalid\r\n"},
        {"IPv6 literal in the request line", 1, "\r\nGET http://[::1]:8080/echo HTTP/1.1\r\n"},
        {"IPv6 literal in Host keeps its brackets", 1, "\r\nHost: [::1]:8080\r\n"},
        {"407 request", 2, "\r\nGET http://example.invalid/echo?status=407 HTTP/1.1\r\n"},
    };
    for (const Case& c : cases) EXPECT_NE(heads[c.head].find(c.line), std::string::npos) << c.name << "\n" << heads[c.head];
}

TEST_F(RawDriver, ProxyCredentialsGoWithTheirSchemeAndARefusalEndsTheRequest) {
    const Env proxy = {{L"QORHttpProxy", L"127.0.0.1"},
                       {L"QORHttpProxyPort", std::to_wstring(server.Port())}};
    const std::vector<Outcome> outcomes =
        Run({{"ASK", "http://example.invalid/echo?status=407"}, {"GET", "http://example.invalid/echo"}}, proxy,
            nullptr, "RawDriverScript");
    EXPECT_EQ(outcomes[0].rc, -407) << "the credentials just sent were refused";
    EXPECT_EQ(outcomes[1].rc, 0);
    const std::vector<std::string> heads = Heads();
    EXPECT_EQ(heads.size(), 3u) << "asked once, answered once, then the next driver's request";
    ASSERT_GE(heads.size(), 3u);
    const std::string sent = std::string("\r\nProxy-authorization: Basic ") + kCredentials + "\r\n";
    struct Case {
        const char* name;
        std::size_t head;
        bool carries;
    } cases[] = {
        {"the first round has none to send", 0, false},
        {"the round after the challenge", 1, true},
        {"the next driver, after the first was destroyed", heads.size() - 1, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(heads[c.head].find(sent) != std::string::npos, c.carries) << c.name << "\n" << heads[c.head];
    }
}

TEST_F(RawDriver, TracedHeadsShowNoCookieValueNorTicket) {
    const std::vector<Step> steps = {
        {"COOKIE", server.Url(""), "sid=CLIENTSECRET"},
        {"GET", server.Url("echo?ticket=ST-TICKETSECRET&cookie=back%3DSERVERSECRET")},
    };
    std::string output;
    const std::vector<Outcome> outcomes =
        Run(steps, {{L"ZYNSysTrace", L"-e HTTP"}, {L"QORTraDecDir", std::nullopt}, {L"QORTemp", std::nullopt},
                    {L"QORTraceDir", folder.Path()}},
            &output);
    EXPECT_EQ(outcomes[1].rc, 0);
    struct Case {
        const char* name;
        const char* from;
        const char* to;
        const char* secret;
    } cases[] = {
        {"request head", "BeginSendRequest REQUEST:[", "] send: rc", "CLIENTSECRET"},
        {"response head", "CloseRequest RESPONSE = 200 CTRL BLOCK:[", "]", "SERVERSECRET"},
    };
    for (const Case& c : cases) {
        const std::size_t from = output.find(c.from);
        ASSERT_NE(from, std::string::npos) << c.name << "\n" << output;
        const std::size_t to = output.find(c.to, from + std::strlen(c.from));
        ASSERT_NE(to, std::string::npos) << c.name;
        const std::string traced = output.substr(from, to - from);
        EXPECT_NE(traced.find("ookie: "), std::string::npos) << c.name << "\n" << traced;
        EXPECT_EQ(traced.find(c.secret), std::string::npos) << c.name << "\n" << traced;
        EXPECT_EQ(traced.find("TICKETSECRET"), std::string::npos) << c.name << "\n" << traced;
    }
}

}  // namespace

namespace {

TEST_F(RawDriver, ComputerNameIsReachedAsLocalhostWhenEnabled) {
    char name[MAX_COMPUTERNAME_LENGTH + 2] = {};
    DWORD size = sizeof name;
    ASSERT_TRUE(::GetComputerNameA(name, &size));
    const std::string url = "http://" + std::string(name) + ":" + std::to_string(server.Port()) + "/echo";
    const std::vector<Outcome> outcomes = Run({{"GET", url}}, {{L"QORHttpEnableLocalhost", L"1"}});
    EXPECT_EQ(outcomes[0].rc, 0);
    const std::vector<std::string> heads = Heads();
    ASSERT_EQ(heads.size(), 1u);
    // The request routine writes the host in lower case; the rule compares ignoring case.
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_NE(heads[0].find("\r\nHost: " + lower + ":" + std::to_string(server.Port()) + "\r\n"), std::string::npos)
        << heads[0];
}

// The driver itself, in this process: nothing here depends on the environment.
class RawDriverInProcess : public RawDriver {
protected:
    std::unique_ptr<QORHttpQXDriver> MakeDriver() {
        auto driver = std::make_unique<QORHttpQXDriver>("Raw driver test: in process", 1, 1);
        const std::uint32_t ms = 5000;
        for (std::uint32_t option : {6u, 5u, 2u}) driver->SetOptions(option, &ms, 4);
        return driver;
    }
};

TEST_F(RawDriverInProcess, HeaderQueriesFindEachNamedHeaderAndItsNumber) {
    const std::string url = Raw("headers",
                                "HTTP/1.1 200 OK\r\n"
                                "Content-Type: text/plain\r\n"
                                "Content-Length: 3\r\n"
                                "Date: Wed, 09 Dec 2026 07:00:00 GMT\r\n"
                                "Last-Modified: Tue, 08 Dec 2026 07:00:00 GMT\r\n"
                                "Connection: keep-alive\r\n"
                                "Location: /elsewhere\r\n"
                                "Server: raw-test\r\n"
                                "WWW-Authenticate: Basic realm=\"w\"\r\n"
                                "Proxy-Authenticate: Basic realm=\"p\"\r\n"
                                "Accept-Ranges: bytes\r\n"
                                "Set-Cookie: a=1\r\n"
                                "Set-Cookie: b=2\r\n"
                                "ETag: \"v1\"\r\n"
                                "X-Transfer-Encoding: not this one\r\n"
                                "\r\nabc");
    auto driver = MakeDriver();
    char* body = nullptr;
    std::uint64_t length = 0;
    ASSERT_EQ(driver->Get(url.c_str(), 0, &body, &length, nullptr), 0);
    std::free(body);
    struct Case {
        const char* name;
        std::uint32_t query;
        std::uint32_t index;
        HRESULT rc;
        std::string text;
    } cases[] = {
        {"content type", 1, 0, 0, "text/plain"},
        {"content length", 5, 0, 0, "3"},
        {"date", 9, 0, 0, "Wed, 09 Dec 2026 07:00:00 GMT"},
        {"last modified", 11, 0, 0, "Tue, 08 Dec 2026 07:00:00 GMT"},
        {"status code", 19, 0, 0, "200"},
        {"connection", 23, 0, 0, "keep-alive"},
        {"location", 33, 0, 0, "/elsewhere"},
        {"server", 37, 0, 0, "raw-test"},
        {"server challenge", 40, 0, 0, "Basic realm=\"w\""},
        {"proxy challenge", 41, 0, 0, "Basic realm=\"p\""},
        {"accept ranges", 42, 0, 0, "bytes"},
        {"first cookie", 43, 0, 0, "a=1"},
        {"second cookie", 43, 1, 0, "b=2"},
        {"no third cookie", 43, 2, static_cast<HRESULT>(0x80072F76), ""},
        {"etag", 54, 0, 0, "\"v1\""},
        {"no transfer encoding (only a longer name holds it)", 63, 0, static_cast<HRESULT>(0x80072F76), ""},
        {"a query not served", 2, 0, static_cast<HRESULT>(0x80072F78), ""},
        {"custom query", 0xFFFF, 0, E_INVALIDARG, ""},
    };
    for (const Case& c : cases) {
        char* text = nullptr;
        std::uint32_t textLength = 0;
        std::uint32_t index = c.index;
        EXPECT_EQ(driver->GetResponseHeaders(&text, &textLength, &index, c.query, nullptr), c.rc) << c.name;
        EXPECT_EQ(text != nullptr ? std::string(text, textLength) : std::string(), c.text) << c.name;
        if (c.rc == 0) {
            EXPECT_EQ(index, c.index + 1) << c.name;
        }
        std::free(text);
    }
    struct NumberCase {
        const char* name;
        std::uint32_t query;
        std::uint32_t number;
    } numbers[] = {{"content length as a number", 5, 3}, {"status as a number", 19, 200}};
    for (const NumberCase& c : numbers) {
        char* text = nullptr;
        std::uint32_t textLength = 0;
        std::uint32_t index = 0;
        ASSERT_EQ(driver->GetResponseHeaders(&text, &textLength, &index, c.query | 0x20000000, nullptr), 0) << c.name;
        ASSERT_EQ(textLength, 4u) << c.name;
        std::uint32_t number = 0;
        std::memcpy(&number, text, 4);
        EXPECT_EQ(number, c.number) << c.name;
        std::free(text);
    }
}

TEST_F(RawDriverInProcess, SocketWaitsTunnelsAndSeesThePeerClose) {
    ASSERT_EQ(MakeDriver()->GetType(), 'D');  // starts the sockets of the process
    QORHttpSock socket;
    const std::uint32_t ms = 5000;
    ASSERT_EQ(socket.SetOptions(6, &ms, 4), 0);
    ASSERT_EQ(socket.Connect("127.0.0.1", server.Port(), nullptr, 0, 0), 0);
    struct Case {
        const char* name;
        HRESULT rc;
        HRESULT expected;
    };
    const HRESULT idleWait = socket.Wait(50);
    const HRESULT idleAlive = socket.IsSocketAlive();
    const HRESULT tunnel = socket.ConnectHTTP("example.invalid", 80);
    const Case cases[] = {
        {"nothing to read: the wait times out", idleWait, static_cast<HRESULT>(0x8007041D)},
        {"an idle kept connection is alive", idleAlive, 0},
        {"the tunnel request is answered", tunnel, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(c.rc, c.expected) << c.name;
    const std::vector<std::string> heads = Heads();
    ASSERT_EQ(heads.size(), 1u);
    EXPECT_EQ(heads[0].substr(0, heads[0].find("\r\n", 8) + 2), "=== 2\r\nCONNECT example.invalid:80 HTTP/1.0\r\n");
    EXPECT_NE(heads[0].find("\r\nUser-Agent: HTTP-QX-Proxy\r\n"), std::string::npos) << heads[0];

    QORHttpSock closing;
    ASSERT_EQ(closing.Connect("127.0.0.1", server.Port(), nullptr, 0, 0), 0);
    const std::string request = "GET " + server.Url("echo?header=Connection:%20close").substr(
                                             std::string("http://127.0.0.1:").size() + std::to_string(server.Port()).size()) +
                                " HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_EQ(closing.Send(request.data(), static_cast<std::uint32_t>(request.size())),
              static_cast<HRESULT>(request.size()));
    char* body = nullptr;
    std::uint64_t length = 0;
    ASSERT_EQ(closing.Wait(5000), 0);
    EXPECT_EQ(closing.KeepReading(&body, &length), 0) << "read until the server closed";
    EXPECT_NE(std::string(body, length).find("CONNECTION 3"), std::string::npos);
    std::free(body);
    EXPECT_EQ(closing.IsSocketAlive(), -1) << "the close was seen: no socket is left";
}

}  // namespace
