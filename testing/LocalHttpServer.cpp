#include "LocalHttpServer.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "ZYNSysKernelHandle.h"

namespace {

using namespace std::chrono_literals;

std::wstring WidenUtf8(const std::string& text) {
    if (text.empty()) return {};
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

// Wine maps Z: to the Unix root, which is what Wine answers for any path when asked.
std::wstring WindowsPathOfUnix(const std::string& unixPath) {
    std::wstring path = L"Z:" + WidenUtf8(unixPath);
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}

SOCKET Connect(std::uint16_t port) {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return s;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(port);
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

}  // namespace

std::string LocalHttpServer::UnixPath(const std::wstring& windowsPath) {
    using Convert = char*(CDECL*)(const wchar_t*);
    auto convert = reinterpret_cast<Convert>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (convert) {
        if (char* unixPath = convert(windowsPath.c_str())) {
            std::string out = unixPath;
            ::HeapFree(::GetProcessHeap(), 0, unixPath);
            return out;
        }
    }
    std::string out = Utf8(windowsPath.size() > 2 && windowsPath[1] == L':' ? windowsPath.substr(2) : windowsPath);
    for (char& c : out) {
        if (c == '\\') c = '/';
    }
    return out;
}

LocalHttpServer::LocalHttpServer(const std::wstring& folder, bool tls)
    : tls_(tls), requestLog_(folder + L".requests") {
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        error_ = "WSAStartup failed";
        return;
    }
    const std::wstring portFile = folder + L".port";
    ::DeleteFileW(portFile.c_str());
    const std::wstring python = WindowsPathOfUnix(VAROMET_PYTHON3);
    std::wstring command = L"\"" + python + L"\" \"" + WidenUtf8(VAROMET_HTTP_SERVER_SCRIPT) + L"\" --root \"" +
                           WidenUtf8(UnixPath(folder)) + L"\" --port-file \"" + WidenUtf8(UnixPath(portFile)) +
                           L"\" --request-log \"" + WidenUtf8(UnixPath(requestLog_)) + L"\"" + (tls ? L" --tls" : L"");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(python.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                          &startup, &info)) {
        error_ = "cannot start " + Utf8(python) + ": error " + std::to_string(::GetLastError());
        return;
    }
    // Wine gives no handles for a Unix program; Windows would.
    ZYNSysKernelHandle process(info.hProcess), thread(info.hThread);

    std::uint16_t port = 0;
    for (auto deadline = std::chrono::steady_clock::now() + 15s; std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(50ms)) {
        std::ifstream in(std::filesystem::path{portFile});
        unsigned value = 0;
        if (in >> value) {
            port = static_cast<std::uint16_t>(value);
            break;
        }
    }
    if (port == 0) {
        error_ = "no port file from " + Utf8(command);
        return;
    }
    SOCKET lifeline = Connect(port);
    if (lifeline == INVALID_SOCKET) {
        error_ = "cannot connect to port " + std::to_string(port);
        return;
    }
    const char request[] = "GET /__lifeline HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ::send(lifeline, request, sizeof request - 1, 0);
    // The head tells that the server holds the line.
    std::string head;
    char buffer[512];
    while (head.find("\r\n\r\n") == std::string::npos) {
        const int got = ::recv(lifeline, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        head.append(buffer, static_cast<std::size_t>(got));
    }
    if (head.find("\r\n\r\n") == std::string::npos) {
        ::closesocket(lifeline);
        error_ = "no lifeline from port " + std::to_string(port);
        return;
    }
    lifeline_ = static_cast<std::uintptr_t>(lifeline);
    port_ = port;
}

LocalHttpServer::~LocalHttpServer() {
    Stop();
    ::WSACleanup();
}

void LocalHttpServer::Stop() {
    if (lifeline_ == ~std::uintptr_t{0}) return;
    ::closesocket(static_cast<SOCKET>(lifeline_));
    lifeline_ = ~std::uintptr_t{0};
    for (auto deadline = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(50ms)) {
        SOCKET probe = Connect(port_);
        if (probe == INVALID_SOCKET) break;
        ::closesocket(probe);
    }
}

std::string LocalHttpServer::Url(const std::string& pathAndQuery) const {
    return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_) + "/" + pathAndQuery;
}

std::vector<std::string> LocalHttpServer::Requests() const {
    std::vector<std::string> lines;
    std::ifstream in(std::filesystem::path{requestLog_});
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}
