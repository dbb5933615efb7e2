// The local test server's answers as the HTTP stack's tests rely on them, read on a plain
// socket: verbs, the request echo, connection ids, chunked answers, cookies, redirects, 401
// and the CAS check.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "LocalHttpServer.h"
#include "TestFolder.h"
#include "ZYNSysSocketHandle.h"

namespace {

// Sends the requests on one connection (the last one asks to close it) and reads to the end.
std::string Exchange(std::uint16_t port, const std::vector<std::string>& requests) {
    ZYNSysSocket socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!socket) return "no socket";
    const DWORD timeout = 10000;
    ::setsockopt(socket.Get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(port);
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    if (::connect(socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return "no connection";
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const std::size_t headEnd = requests[i].find("\r\n\r\n");
        std::string request = requests[i];
        if (i + 1 == requests.size()) request.insert(headEnd, "\r\nConnection: close");
        ::send(socket.Get(), request.data(), static_cast<int>(request.size()), 0);
    }
    std::string answer;
    char buffer[4096];
    for (int got; (got = ::recv(socket.Get(), buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, got);
    return answer;
}

std::string ConnectionIds(const std::string& answers) {
    std::string ids;
    for (std::size_t at = answers.find("X-Connection-Id: "); at != std::string::npos;
         at = answers.find("X-Connection-Id: ", at + 1)) {
        ids += answers.substr(at + 17, answers.find("\r\n", at) - at - 17) + ";";
    }
    return ids;
}

class LocalHttpServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
        std::ofstream(std::filesystem::path(served) / L"t.txt", std::ios::binary) << "abcde";
        ASSERT_NE(server.Port(), 0) << server.Error();
    }
    void TearDown() override { ::WSACleanup(); }

    TestFolder folder;
    std::wstring served = [this] {
        std::filesystem::create_directories(std::filesystem::path(folder.In(L"srv")));
        return folder.In(L"srv");
    }();
    LocalHttpServer server{served};
};

TEST_F(LocalHttpServerTest, AnswersWhatTheStackTestsAskFor) {
    const std::string host = "Host: 127.0.0.1\r\n";
    struct Case {
        const char* name;
        std::string request;
        std::vector<std::string> inAnswer;
        std::vector<std::string> notInAnswer;
    } cases[] = {
        {"a chunked upload is echoed with its chunk sizes",
         "PUT /up HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n2\r\n!!\r\n0\r\n\r\n",
         {"HTTP/1.1 200 ", "CONNECTION ", "PUT /up HTTP/1.1\r\n", "Transfer-Encoding: chunked\r\n",
          "\r\n\r\nCHUNKS 5 2 0\r\nBODY 7\r\n\r\nhello!!"},
         {}},
        {"a body of known length is echoed", "POST /echo?x=1 HTTP/1.1\r\n" + host + "Content-Length: 3\r\n\r\nabc",
         {"POST /echo?x=1 HTTP/1.1\r\n", "CHUNKS -\r\nBODY 3\r\n\r\nabc"}, {}},
        {"GET of /echo answers the echo", "GET /echo HTTP/1.1\r\n" + host + "Cookie: a=1\r\n\r\n",
         {"GET /echo HTTP/1.1\r\n", "Cookie: a=1\r\n", "BODY 0\r\n"}, {}},
        {"a file in chunks", "GET /t.txt?chunked=1&chunk=2 HTTP/1.1\r\n" + host + "\r\n",
         {"Transfer-Encoding: chunked\r\n", "\r\n\r\n2\r\nab\r\n2\r\ncd\r\n1\r\ne\r\n0\r\n\r\n"},
         {"Content-Length"}},
        {"HEAD of a file", "HEAD /t.txt HTTP/1.1\r\n" + host + "\r\n", {"Content-Length: 5\r\n"}, {"abcde"}},
        {"cookies and a redirect",
         "GET /r?cookie=a%3D1%3B%20Path%3D%2F&cookie=b%3D2&location=/t.txt HTTP/1.1\r\n" + host + "\r\n",
         {"302 ", "Set-Cookie: a=1; Path=/\r\n", "Set-Cookie: b=2\r\n", "Location: /t.txt\r\n"}, {}},
        {"credentials asked for", "GET /t.txt?auth=u:p HTTP/1.1\r\n" + host + "\r\n",
         {"401 ", "WWW-Authenticate: Basic realm=\"test\"\r\n"}, {"abcde"}},
        {"credentials given", "GET /t.txt?auth=u:p HTTP/1.1\r\n" + host + "Authorization: Basic dTpw\r\n\r\n",
         {"200 ", "abcde"}, {"WWW-Authenticate"}},
        {"a raw length", "GET /echo?length=-1 HTTP/1.1\r\n" + host + "\r\n", {"Content-Length: -1\r\n"}, {}},
        {"the CAS check", "GET /cas/api/authenticated/user/me HTTP/1.1\r\n" + host + "\r\n",
         {"200 ", "Content-Type: application/json\r\n", "Set-Cookie: CASTGC=TGT-1-varomet-test; Path=/cas/\r\n",
          "{\"id\":7,\"username\":\"jdoe\",\"email\":\"jdoe@example.test\"}"},
         {}},
        {"the CAS check failing without a cookie",
         "GET /c/status=500/castgc=none/user=ann/api/authenticated/user/me HTTP/1.1\r\n" + host + "\r\n",
         {"500 ", "\"username\":\"ann\""}, {"Set-Cookie"}},
    };
    for (const Case& c : cases) {
        const std::string answer = Exchange(server.Port(), {c.request});
        for (const std::string& text : c.inAnswer) {
            EXPECT_NE(answer.find(text), std::string::npos) << c.name << ": " << text << " in\n" << answer;
        }
        for (const std::string& text : c.notInAnswer) {
            EXPECT_EQ(answer.find(text), std::string::npos) << c.name << ": " << text << " in\n" << answer;
        }
    }
    EXPECT_EQ(server.Requests().front(), "PUT /up range=-");
}

TEST_F(LocalHttpServerTest, ConnectionIdsTellAReusedConnection) {
    const std::string get = "GET /t.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const std::string first = ConnectionIds(Exchange(server.Port(), {get, get}));
    const std::string second = ConnectionIds(Exchange(server.Port(), {get}));
    ASSERT_EQ(first.size(), 4u) << first;  // "N;N;"
    EXPECT_EQ(first.substr(0, 2), first.substr(2, 2));
    EXPECT_NE(second, first.substr(0, 2));
}

}  // namespace
