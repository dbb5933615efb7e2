// The request routine of the driver base over the transport with canned answers: redirects,
// authentication rounds, the response head's analysis, body reads and their bounds, stepped
// downloads, ranges, Head's stat record, cookies and streamed bodies.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FakeHttpTransport.h"
#include "QORHttpCookie.h"

namespace {

using Answer = FakeHttpTransport::Answer;

Answer Redirect(int status, const std::string& location) {
    return FakeHttpTransport::Status(status, "Location: " + location + "\r\n");
}

std::vector<std::string> Urls(const FakeHttpTransport& driver) {
    std::vector<std::string> urls;
    for (const auto& request : driver.requests) urls.push_back(request.url);
    return urls;
}

// A GET through the routine; the body as a string.
struct Outcome {
    HRESULT result = 0;
    std::string body;
    std::uint64_t length = 0;
    std::uint32_t keepAlive = 7;
};

Outcome Get(FakeHttpTransport& driver, const char* url, std::uint32_t flags = 0) {
    Outcome outcome;
    char* body = nullptr;
    outcome.result = driver.Get(url, flags, &body, &outcome.length, &outcome.keepAlive);
    if (body != nullptr) outcome.body = body;
    std::free(body);
    return outcome;
}

TEST(QORHttpDriverRequest, RedirectsAreFollowedToTheirResolvedTarget) {
    struct Case {
        const char* name;
        std::vector<Answer> answers;
        std::uint32_t flags;
        HRESULT result;
        std::vector<std::string> urls;
        const char* body;
        const char* current = nullptr;  // GetUrl afterwards when not the last URL asked for
        const char* request = "http://H/a/b";
    } cases[] = {
        {"an absolute path stays on the host", {Redirect(302, "/next"), FakeHttpTransport::Ok("there")}, 0, 0,
         {"http://h/a/b", "http://h/next"}, "there"},
        // Read as a suffix of the host, "next" would send the request to "http://hnext".
        {"a relative path is resolved in the request's folder", {Redirect(302, "next"), FakeHttpTransport::Ok("x")},
         0, 0, {"http://h/a/b", "http://h/a/next"}, "x"},
        {"a network path keeps the scheme", {Redirect(301, "//other/x"), FakeHttpTransport::Ok("o")}, 0, 0,
         {"http://h/a/b", "http://other/x"}, "o"},
        {"a query replaces the query", {Redirect(303, "?page=2"), FakeHttpTransport::Ok("q")}, 0, 0,
         {"http://h/a/b", "http://h/a/b?page=2"}, "q"},
        {"an absolute URL is taken as it is, its host normalised",
         {Redirect(307, "HTTPS://Else:443/y"), FakeHttpTransport::Ok("e")}, 0, 0, {"http://h/a/b", "HTTPS://else/y"},
         "e"},
        {"no automatic redirect: the 3xx is the answer, its target the current URL", {Redirect(302, "/next")},
         0x200000, 0, {"http://h/a/b"}, "", "http://h/next"},
        {"eleven redirects stop at the depth", std::vector<Answer>(11, Redirect(302, "/a/b")), 0, -302,
         std::vector<std::string>(11, "http://h/a/b"), ""},
        {"a redirect without Location fails", {FakeHttpTransport::Status(302)}, 0,
         static_cast<HRESULT>(0x80072F78), {"http://h/a/b"}, ""},
        {"a Location cut before its CRLF fails",
         {Answer{"HTTP/1.1 302 Found\r\nLocation: /x", "", {}, -1, 0, 0}}, 0, static_cast<HRESULT>(0x80072F78),
         {"http://h/a/b"}, ""},
        {"an empty Location fails rather than asking again", {Redirect(302, "")}, 0,
         static_cast<HRESULT>(0x80072F78), {"http://h/a/b"}, ""},
        {"a URL without a path resolves against the root", {Redirect(302, "next"), FakeHttpTransport::Ok("r")}, 0, 0,
         {"http://h:8080", "http://h:8080/next"}, "r", nullptr, "http://H:8080"},
        {"a slash in the query is not the path", {Redirect(302, "/x"), FakeHttpTransport::Ok("s")}, 0, 0,
         {"http://h?a=/b", "http://h/x"}, "s", nullptr, "http://H?a=/b"},
    };
    for (const Case& c : cases) {
        FakeHttpTransport driver(c.answers);
        const Outcome outcome = Get(driver, c.request, c.flags);
        EXPECT_EQ(outcome.result, c.result) << c.name;
        EXPECT_EQ(Urls(driver), c.urls) << c.name;
        EXPECT_EQ(outcome.body, c.body) << c.name;
        EXPECT_STREQ(driver.GetUrl(), c.current != nullptr ? c.current : c.urls.back().c_str()) << c.name;
    }
}

// A stream that gives its text in pieces of 3 bytes and counts its rewinds.
class PieceStreamer : public QORHttpStreamer {
public:
    explicit PieceStreamer(std::string text) : text_(std::move(text)) {}
    HRESULT GetSize(std::uint64_t* outTotal, std::uint32_t* outChunked) override {
        *outTotal = text_.size();
        *outChunked = 0;
        return 0;
    }
    HRESULT GetNext(const char** outData, std::uint32_t* outLength, std::uint32_t* outState) override {
        *outData = text_.data() + at_;
        *outLength = static_cast<std::uint32_t>(std::min<std::size_t>(3, text_.size() - at_));
        at_ += *outLength;
        *outState = at_ < text_.size() ? kMore : kDone;
        return 0;
    }
    HRESULT Rewind() override {
        at_ = 0;
        ++rewinds;
        return 0;
    }
    int rewinds = 0;

private:
    std::string text_;
    std::size_t at_ = 0;
};

TEST(QORHttpDriverRequest, VerbAndBodyAreKeptOverARedirect) {
    FakeHttpTransport posted({Redirect(307, "/to"), FakeHttpTransport::Ok("done")});
    char* body = nullptr;
    std::uint64_t length = 0;
    EXPECT_EQ(posted.Post("http://h/from", 0, "a=1&b=2", 7, QORHTTP_CONTENT_FORM, nullptr, &body, &length), 0);
    std::free(body);
    ASSERT_EQ(posted.requests.size(), 2u);
    for (const auto& request : posted.requests) {
        EXPECT_EQ(request.verb, "POST");
        EXPECT_EQ(request.body, "a=1&b=2");
        EXPECT_EQ(request.headers, "Content-Type: application/x-www-form-urlencoded\r\n");
    }

    FakeHttpTransport streamed({Redirect(307, "/to"), FakeHttpTransport::Ok("done")});
    PieceStreamer streamer("a streamed body");
    EXPECT_EQ(streamed.PostStream("http://h/from", 0, QORHTTP_CONTENT_OCTETS, &streamer, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(streamed.requests.size(), 2u);
    EXPECT_EQ(streamed.requests[1].body, "a streamed body");
    EXPECT_EQ(streamer.rewinds, 1);
}

TEST(QORHttpDriverRequest, AuthenticationRoundsAreBoundedByTheDepth) {
    struct Case {
        const char* name;
        std::vector<Answer> answers;
        std::uint32_t flags;
        HRESULT authenticateResult;
        HRESULT result;
        std::size_t requests;
        int authenticateCalls;
    } cases[] = {
        // Retried although nothing changes: the transport's stored credentials may answer.
        {"a 401 every time: dialogs for the first three rounds only", std::vector<Answer>(11, FakeHttpTransport::Status(401)),
         0, 0, -401, 11, 3},
        {"no authentication: retried without dialogs", std::vector<Answer>(11, FakeHttpTransport::Status(401)),
         0x40000, 0, -401, 11, 0},
        {"a 401 then a 200", {FakeHttpTransport::Status(401), FakeHttpTransport::Ok("in")}, 0, 0, 0, 2, 1},
        {"a 407 with the proxy step skipped", {FakeHttpTransport::Status(407), FakeHttpTransport::Ok("in")},
         0x20000000, 0, 0, 2, 0},
        {"a refused dialog ends the request", {FakeHttpTransport::Status(407)}, 0, static_cast<HRESULT>(0x800704C7),
         static_cast<HRESULT>(0x800704C7), 1, 1},
    };
    for (const Case& c : cases) {
        FakeHttpTransport driver(c.answers);
        driver.authenticateResult = c.authenticateResult;
        EXPECT_EQ(Get(driver, "http://h/secret", c.flags).result, c.result) << c.name;
        EXPECT_EQ(driver.requests.size(), c.requests) << c.name;
        EXPECT_EQ(driver.authenticateCalls, c.authenticateCalls) << c.name;
        EXPECT_EQ(driver.startHooks, 1) << c.name;
    }
}

TEST(QORHttpDriverRequest, ResponseHeadIsReadStrictly) {
    struct Case {
        const char* name;
        const char* head;
        const char* verb;
        HRESULT result;
        QORHttpResponseInfo expected;
    } cases[] = {
        {"a length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Type: text/html\r\n\r\n", "GET", 0,
         {200, 1, 5, true, 0, 1, "", 1, 1}},
        {"a length of 0 has no body", "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", "GET", 0,
         {200, 0, 0, true, 0, 1, "", 0, 0}},
        {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n", "GET", 0,
         {200, 1, 0, false, 1, 0, "", 1, 0}},
        {"no content", "HTTP/1.1 204 No Content\r\n\r\n", "DELETE", 0, {204, 1, 0, false, 0, 1, "", 0, 0}},
        {"HEAD has no body", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n", "HEAD", 0,
         {200, 1, 9, true, 0, 1, "", 0, 0}},
        {"a name in a value is not a header", "HTTP/1.1 200 OK\r\nX-Note: content-length: 4\r\n\r\n", "GET", 0,
         {200, 1, 0, false, 0, 1, "", 1, 0}},
        // "%llu" would read -1 as 2^64-1 and the body reader would then size its buffer from it.
        {"a negative length", "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", "GET", -7, {}},
        {"a length of 20 digits", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n", "GET", -7, {}},
        {"a length with letters", "HTTP/1.1 200 OK\r\nContent-Length: 12abc\r\n\r\n", "GET", -7, {}},
        {"no HTTP/", "HTTX/1.1 200 OK\r\n\r\n", "GET", -7, {}},
        {"no dot", "HTTP/11 200 OK\r\n\r\n", "GET", -7, {}},
        {"version 0", "HTTP/0.9 200 OK\r\n\r\n", "GET", -7, {}},
        {"status 0", "HTTP/1.1 000 OK\r\n\r\n", "GET", -7, {}},
        {"an encoding cut before its CRLF", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\n", "GET", -7, {}},
    };
    for (const Case& c : cases) {
        FakeHttpTransport driver;
        std::string head = c.head;
        QORHttpResponseInfo info;
        EXPECT_EQ(driver.AnalyseResponse("http://h/a", c.verb, head.data(), 0x40000, &info), c.result) << c.name;
        if (c.result != 0) continue;
        EXPECT_EQ(info.status, c.expected.status) << c.name;
        EXPECT_EQ(info.minorVersion, c.expected.minorVersion) << c.name;
        EXPECT_EQ(info.contentLength, c.expected.contentLength) << c.name;
        EXPECT_EQ(info.hasContentLength, c.expected.hasContentLength) << c.name;
        EXPECT_EQ(info.chunked, c.expected.chunked) << c.name;
        EXPECT_EQ(info.keepAlive, c.expected.keepAlive) << c.name;
        EXPECT_EQ(info.hasBody, c.expected.hasBody) << c.name;
        EXPECT_EQ(info.isText, c.expected.isText) << c.name;
    }
}

TEST(QORHttpDriverRequest, BodiesAreReadWholeAndWithinBounds) {
    const std::string chunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    struct Case {
        const char* name;
        Answer answer;
        std::uint32_t keepErrorBody;
        HRESULT result;
        const char* body;
    } cases[] = {
        {"in pieces", Answer{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", "0123456789", {3}, -1, 0, 0}, 0, 0,
         "0123456789"},
        {"chunked, up to the end", Answer{chunkedHead, "abcdefgh", {5}, -1, 0, 0}, 0, 0, "abcdefgh"},
        {"shorter than announced", Answer{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", "01234", {}, -1, 0, 0}, 0,
         -4, ""},
        // A time-out inside a chunked body reads as the body's end unless the failed query counts.
        {"a failed query inside a chunked body", Answer{chunkedHead, "abcdefgh", {3}, 3, 12002, 0}, 0, -8, ""},
        {"a failed query with a length", Answer{"HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\n", "abcdefgh", {3}, 6,
                                                static_cast<HRESULT>(0x80072EE2), 0},
         0, -8, ""},
        {"a failed read inside a chunked body", Answer{chunkedHead, "abcdefgh", {3}, -1, 12002, 0, 0, 3}, 0, -8, ""},
        // A decoding transport gives more than the encoded length the head announces.
        {"an encoded answer is read to its end, not to its length",
         Answer{"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 4\r\n\r\n", "decoded body", {5}, -1, 0,
                0},
         0, 0, "decoded body"},
        {"an announced length above the cap",
         Answer{"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(QORHttpDriver::kMaxBodyInMemory + 1) +
                    "\r\n\r\n",
                "", {}, -1, 0, 0},
         0, -7, ""},
        {"a chunked body growing above the cap",
         Answer{chunkedHead, "", {1 << 20}, -1, 0, 0, QORHttpDriver::kMaxBodyInMemory + 1}, 0, -7, ""},
        {"a head above its bound", FakeHttpTransport::Ok("x", "X-Long: " + std::string(256 * 1024, 'h') + "\r\n"), 0,
         -7, ""},
        {"a 404 without its body", FakeHttpTransport::Status(404, "", "not here"), 0, -404, ""},
        {"a 404 with its body kept", FakeHttpTransport::Status(404, "", "not here"), 1, -404, "not here"},
    };
    for (const Case& c : cases) {
        FakeHttpTransport driver({c.answer});
        ASSERT_EQ(driver.SetOptions(QORHTTP_KEEP_ERROR_BODY, &c.keepErrorBody, 4), 0);
        const Outcome outcome = Get(driver, "http://h/body");
        EXPECT_EQ(outcome.result, c.result) << c.name;
        EXPECT_TRUE(outcome.body == c.body) << c.name << ": " << outcome.body.substr(0, 40);
        EXPECT_EQ(outcome.length, std::string(c.body).size()) << c.name;
    }
}

// Counts what it is told; the last release flags its end.
class CountingPerfo : public QORHttpPerfoCallback {
public:
    static CountingPerfo* Make(bool* deleted) { return new CountingPerfo(deleted); }
    void OnBodyReadStart(std::int64_t) override { ++readStarts; }
    void OnBodyReadEnd(std::int64_t) override { ++readEnds; }
    void OnDownloadEnd(std::int64_t epochMs) override { downloadEnd = epochMs; }
    int readStarts = 0;
    int readEnds = 0;
    std::int64_t downloadEnd = 0;

private:
    explicit CountingPerfo(bool* deleted) : deleted_(deleted) {}
    ~CountingPerfo() override { *deleted_ = true; }
    bool* deleted_;
};

TEST(QORHttpDriverRequest, DownloadExReadsPiecesUpToTheAnnouncedLength) {
    struct Case {
        const char* name;
        Answer answer;
        std::uint32_t flags;
        std::vector<std::string> pieces;  // what each call gives
        HRESULT lastResult;
        int resets;
    } cases[] = {
        {"one piece per call", Answer{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", "0123456789", {4}, -1, 0, 0},
         0x1000, {"0123", "4567", "89"}, 0, 0},
        {"the whole body in one call", Answer{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", "0123456789", {4}, -1, 0, 0},
         0, {"0123456789"}, 0, 0},
        {"chunked: done on an empty read", Answer{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", "abcdef", {4}, -1, 0, 0},
         0x1000, {"abcd", "ef", ""}, 0, 0},
        {"longer than announced: reset", Answer{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", "01234567", {4}, -1, 0, 0},
         0x1000, {"0123", "4567"}, static_cast<HRESULT>(0x80080011), 1},
    };
    for (const Case& c : cases) {
        auto driver = std::make_unique<FakeHttpTransport>(std::vector<Answer>{c.answer});
        bool deleted = false;
        CountingPerfo* perfo = CountingPerfo::Make(&deleted);
        ASSERT_EQ(driver->SetOptions(QORHTTP_OPTION_SET_PERFO_CALLBACK, &perfo, sizeof perfo), 0);
        perfo->Release();  // the driver holds its own reference
        const std::uint32_t bodyMode = 0;
        ASSERT_EQ(driver->SetOptions(QORHTTP_OPTION_BODY_MODE, &bodyMode, 4), 0);
        ASSERT_EQ(driver->Get("http://h/file", 0, nullptr, nullptr, nullptr), 0) << c.name;
        std::vector<std::string> pieces;
        std::uint32_t done = 0;
        HRESULT result = 0;
        char* piece = nullptr;
        for (int call = 0; call < 10 && done == 0; ++call) {
            std::uint64_t length = 0;
            result = driver->DownloadEx(c.flags, &length, &piece, &done);
            pieces.push_back(piece != nullptr ? std::string(piece, length) : std::string());
        }
        std::free(piece);
        piece = nullptr;
        EXPECT_EQ(pieces, c.pieces) << c.name;
        EXPECT_EQ(result, c.lastResult) << c.name;
        EXPECT_EQ(done, 1u) << c.name;
        EXPECT_EQ(driver->resetCalls, c.resets) << c.name;
        EXPECT_EQ(perfo->readStarts, perfo->readEnds) << c.name;
        EXPECT_GT(perfo->readStarts, 0) << c.name;
        EXPECT_GT(perfo->downloadEnd, 1600000000000) << c.name;
        std::uint64_t length = 0;
        EXPECT_EQ(driver->DownloadEx(c.flags, &length, &piece, &done), E_INVALIDARG) << c.name << ": after the end";
        EXPECT_FALSE(deleted) << c.name;
        driver.reset();
        EXPECT_TRUE(deleted) << c.name;
    }
}

TEST(QORHttpDriverRequest, RangesAreAskedWithSixtyFourBitBounds) {
    struct Case {
        const char* name;
        std::uint32_t mode;
        std::int64_t start;
        std::int64_t endOrLength;
        HRESULT result;
        const char* headers;
    } cases[] = {
        {"start and length", 0, 100, 50, 0, "Accept-Ranges: bytes\r\nRange: bytes=100-149\r\n"},
        {"a start past 2 GiB", 0, 3221225472LL, 10, 0, "Accept-Ranges: bytes\r\nRange: bytes=3221225472-3221225481\r\n"},
        {"start and end", 2, 5, 9, 0, "Accept-Ranges: bytes\r\nRange: bytes=5-9\r\n"},
        {"the last bytes", 2, 0, 500, 0, "Accept-Ranges: bytes\r\nRange: bytes=-500\r\n"},
        {"a length of 0 has no last byte", 0, 100, 0, E_INVALIDARG, nullptr},
        {"an end before the start", 2, 9, 5, E_INVALIDARG, nullptr},
        {"a negative start", 0, -1, 5, E_INVALIDARG, nullptr},
        {"another mode", 1, 0, 5, E_INVALIDARG, nullptr},
    };
    for (const Case& c : cases) {
        FakeHttpTransport driver({FakeHttpTransport::Status(206, "", "part")});
        char* body = nullptr;
        std::uint64_t length = 0;
        EXPECT_EQ(driver.GetRange("http://h/f", 0, c.mode, c.start, c.endOrLength, &body, &length, nullptr), c.result)
            << c.name;
        std::free(body);
        if (c.headers == nullptr) {
            EXPECT_TRUE(driver.requests.empty()) << c.name;
            continue;
        }
        ASSERT_EQ(driver.requests.size(), 1u) << c.name;
        EXPECT_EQ(driver.requests[0].verb, "GET") << c.name;
        EXPECT_EQ(driver.requests[0].headers, c.headers) << c.name;
        EXPECT_EQ(driver.requests[0].hasBody, 0u) << c.name;
    }
}

TEST(QORHttpDriverRequest, HeadFillsTheStatRecordFromTheLength) {
    struct Case {
        const char* name;
        const char* lengthHeader;
        HRESULT result;
        std::int64_t size;
        unsigned short mode;
    } cases[] = {
        {"a file", "Content-Length: 1234\r\n", 0, 1234, 0x8180},
        {"size 0 reads as a folder", "Content-Length: 0\r\n", 0, 0, 0x4180},
        {"past 4 GiB", "Content-Length: 5000000000\r\n", 0, 5000000000LL, 0x8180},
        {"no length", "", E_FAIL, 0, 0},
        {"a negative length", "Content-Length: -1\r\n", -7, 0, 0},
    };
    for (const Case& c : cases) {
        FakeHttpTransport driver({Answer{std::string("HTTP/1.1 200 OK\r\n") + c.lengthHeader + "\r\n", "", {}, -1, 0, 0}});
        struct _stat64 stat;
        std::memset(&stat, 0xAB, sizeof stat);
        EXPECT_EQ(driver.Head("http://h/f", 0, &stat), c.result) << c.name;
        EXPECT_EQ(driver.requests.size(), 1u) << c.name;
        if (c.result != 0) continue;
        EXPECT_EQ(stat.st_size, c.size) << c.name;
        EXPECT_EQ(stat.st_mode, c.mode) << c.name;
        EXPECT_EQ(stat.st_mtime, 0) << c.name;
    }
    FakeHttpTransport requestOnly({FakeHttpTransport::Ok("")});
    EXPECT_EQ(requestOnly.Head("http://h/f", 0, reinterpret_cast<struct _stat64*>(1)), 0);
    EXPECT_EQ(requestOnly.requests.at(0).verb, "HEAD");
}

TEST(QORHttpDriverRequest, ArgumentsAndContentTypesShapeTheRequest) {
    struct Case {
        const char* name;
        std::uint32_t contentType;
        const char* data;
        HRESULT result;
        const char* headers;
        std::uint32_t hasBody;
    } cases[] = {
        {"form", 0, "x", 0, "Content-Type: application/x-www-form-urlencoded\r\n", 1},
        {"html", 1, "x", 0, "Content-Type: text/HTML\r\n", 1},
        {"plain", 2, "x", 0, "Content-Type: text/plain\r\n", 1},
        {"xml", 3, "x", 0, "Content-Type: text/xml\r\n", 1},
        {"xml utf-8", 4, "x", 0, "Content-Type: text/xml;charset=utf-8\r\n", 1},
        {"octets", 5, "x", 0, "Content-Type: application/octetstream\r\n", 1},
        {"none", 6, nullptr, 0, "", 0},
        {"no header", 7, "x", 0, "", 1},
        {"beyond the table", 9, "x", 0, "Content-Type: text/plain\r\n", 1},
        {"a body with no body", 6, "x", E_INVALIDARG, nullptr, 0},
    };
    for (const Case& c : cases) {
        FakeHttpTransport driver({FakeHttpTransport::Ok("")});
        EXPECT_EQ(driver.Post("http://h/p", 0, c.data, c.data ? 1 : 0, c.contentType, nullptr, nullptr, nullptr),
                  c.result)
            << c.name;
        if (c.headers == nullptr) {
            EXPECT_TRUE(driver.requests.empty()) << c.name;
            EXPECT_EQ(driver.endHooks, std::vector<std::uint32_t>{0}) << c.name;
            continue;
        }
        ASSERT_EQ(driver.requests.size(), 1u) << c.name;
        EXPECT_EQ(driver.requests[0].headers, c.headers) << c.name;
        EXPECT_EQ(driver.requests[0].hasBody, c.hasBody) << c.name;
        EXPECT_EQ(driver.endHooks, std::vector<std::uint32_t>{1}) << c.name;
    }
    FakeHttpTransport both;
    PieceStreamer streamer("s");
    EXPECT_EQ(both.HttpSendDataEx("POST", "http://h/p", 0, nullptr, "x", 1, 2, nullptr, nullptr, nullptr, &streamer, 0),
              E_INVALIDARG);
    EXPECT_EQ(both.Get(nullptr, 0, nullptr, nullptr, nullptr), E_INVALIDARG);
}

TEST(QORHttpDriverRequest, SetCookieHeadersReachTheStore) {
    struct Case {
        const char* name;
        char type;
        const char* host;
        HRESULT result;
        bool stored;
    } cases[] = {
        {"a WinINet-like driver", 'W', "f23-driver-cookie-w.test", 0, true},
        {"a socket driver", 'D', "f23-driver-cookie-d.test", 0, true},
        {"a driver that keeps no cookies", 'Z', "f23-driver-cookie-z.test", 0, false},
    };
    for (const Case& c : cases) {
        FakeHttpTransport driver({FakeHttpTransport::Ok("ok", "Set-Cookie: first=1; Path=/\r\nSet-Cookie: second=2\r\n")},
                                 c.type);
        const std::string url = std::string("http://") + c.host + "/dir/page";
        EXPECT_EQ(Get(driver, url.c_str()).result, c.result) << c.name;
        char* found = nullptr;
        const HRESULT lookup = QORSysGetCookie(url.c_str(), nullptr, &found, 4);
        const std::string text = found != nullptr ? found : "";
        std::free(found);
        EXPECT_EQ(lookup == 0, c.stored) << c.name << ": " << text;
        EXPECT_EQ(text.find("first=1") != std::string::npos, c.stored) << c.name << ": " << text;
        EXPECT_EQ(text.find("second=2") != std::string::npos, c.stored) << c.name << ": " << text;
    }
    // A cookie the store refuses (secure over plain HTTP) fails a socket driver's request only.
    for (const char type : {'W', 'D'}) {
        FakeHttpTransport driver({FakeHttpTransport::Ok("ok", "Set-Cookie: s=1; Secure\r\n")}, type);
        const HRESULT result = Get(driver, "http://f23-driver-cookie-secure.test/").result;
        EXPECT_EQ(result == 0, type == 'W') << type << " " << std::hex << result;
    }
}

}  // namespace
