#pragma once
// testing/http_server.py started from a Windows test under Wine: the Linux python3 serves one
// folder on a free 127.0.0.1 port. Wine starts a Unix program without giving back a process
// handle, so the server's life hangs on a "lifeline" connection this object holds: closing it
// (here, or by the death of the test process) ends the server.
// What the server can be asked for (verbs, the request echo, connection ids, chunked answers,
// cookies, redirects, 401, the CAS check) is described at the top of http_server.py.

#include <cstdint>
#include <string>
#include <vector>

class LocalHttpServer {
public:
    // Serves the files of the folder (a Windows path); the port file and the request log are
    // written beside it (<folder>.port, <folder>.requests).
    // tls: connections that begin a TLS handshake are served over TLS with a self-signed
    // certificate for 127.0.0.1, and Url gives https addresses.
    explicit LocalHttpServer(const std::wstring& folder, bool tls = false);
    ~LocalHttpServer();
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    // Zero when the server could not be started; Error() says why.
    std::uint16_t Port() const { return port_; }
    const std::string& Error() const { return error_; }
    // "http://127.0.0.1:<port>/" (https with tls) + path and query.
    std::string Url(const std::string& pathAndQuery) const;
    // The requests so far, one "<verb> <path?query> range=<Range header or ->" each.
    std::vector<std::string> Requests() const;
    // Ends the server now and waits until its port is closed.
    void Stop();

    // The Unix path of a Windows path (through Wine's own conversion).
    static std::string UnixPath(const std::wstring& windowsPath);

private:
    const bool tls_;
    std::uint16_t port_ = 0;
    std::uintptr_t lifeline_ = ~std::uintptr_t{0};
    std::wstring requestLog_;
    std::string error_;
};
