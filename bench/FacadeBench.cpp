// Keep-alive GETs of one small file through the HTTP facade (the launcher's direct facade over
// the WinINet driver, with its session and connection caches) beside the same GETs on the
// WinINet driver alone and made with bare WinINet calls on one session and one connection, and
// those calls again with the connection-state query the driver makes before each request.
//   facade_bench URL [COUNT]    COUNT GETs each way (1000 by default), after 20 unmeasured ones
// bench/facade_bench.sh serves the file and runs curl over the same URLs beside it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "QORHttpDirectFacade.h"
#include "QORHttpWDriver.h"
#include "ZYNSysInternetHandle.h"

namespace {

using Clock = std::chrono::steady_clock;

// The body length of one GET through the facade, or -1 on failure.
long long FacadeGet(QORHttpDirectFacade& facade, const char* url) {
    char* body = nullptr;
    std::uint64_t length = 0;
    const HRESULT result = facade.GetWithBody(url, 0x400000, &body, &length, nullptr);
    std::free(body);
    return result == 0 ? static_cast<long long>(length) : -1;
}

// The same GET on the WinINet driver without the facade: what the facade itself costs.
long long DriverGet(QORHttpWDriver& driver, const char* url) {
    char* body = nullptr;
    std::uint64_t length = 0;
    const HRESULT result = driver.Get(url, 0x400000, &body, &length, nullptr);
    std::free(body);
    return result == 0 ? static_cast<long long>(length) : -1;
}

struct BareWinINet {
    ZYNSysInternetHandle session;
    ZYNSysInternetHandle connection;
    std::string path;
    std::vector<char> buffer = std::vector<char>(65536);

    bool Open(const std::string& url) {
        char host[256] = {};
        char urlPath[2048] = {};
        URL_COMPONENTSA parts{};
        parts.dwStructSize = sizeof parts;
        parts.lpszHostName = host;
        parts.dwHostNameLength = sizeof host;
        parts.lpszUrlPath = urlPath;
        parts.dwUrlPathLength = sizeof urlPath;
        if (!::InternetCrackUrlA(url.c_str(), 0, 0, &parts)) return false;
        path = urlPath;
        session.Reset(::InternetOpenA("facade_bench bare", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
        if (!session) return false;
        connection.Reset(::InternetConnectA(session.Get(), host, parts.nPort, nullptr, nullptr,
                                           INTERNET_SERVICE_HTTP, 0, 0));
        return static_cast<bool>(connection);
    }

    // The flags the driver uses for a plain-http GET with the keep-connection flag. With
    // askConnectedState, the connection-state query that the driver makes before each request.
    long long Get(bool askConnectedState = false) {
        if (askConnectedState) {
            DWORD state = 0;
            ::InternetGetConnectedState(&state, 0);
        }
        ZYNSysInternetHandle request(::HttpOpenRequestA(connection.Get(), "GET", path.c_str(), nullptr, nullptr,
                                                        nullptr, 0x80600000, 0));
        if (!request || !::HttpSendRequestA(request.Get(), nullptr, 0, nullptr, 0)) return -1;
        DWORD status = 0;
        DWORD size = sizeof status;
        if (!::HttpQueryInfoA(request.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                              nullptr) ||
            status != 200) {
            return -1;
        }
        long long total = 0;
        DWORD read = 0;
        while (::InternetReadFile(request.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read) && read) {
            total += read;
        }
        return total;
    }
};

template <typename Get>
double SecondsFor(int count, long long expected, Get get, const char* name) {
    for (int i = 0; i < 20; ++i) {
        if (get() != expected) {
            std::fprintf(stderr, "%s: a GET failed\n", name);
            std::exit(1);
        }
    }
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < count; ++i) {
        if (get() != expected) {
            std::fprintf(stderr, "%s: GET %d failed\n", name, i);
            std::exit(1);
        }
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: facade_bench URL [COUNT]\n");
        return 2;
    }
    const std::string url = argv[1];
    const int count = argc == 3 ? std::max(1, std::atoi(argv[2])) : 1000;

    QORHttpDirectFacade facade("facade_bench", 1, 1);
    const std::uint32_t timeout = 30000;
    for (std::uint32_t id : {QORHTTP_OPTION_RECEIVE_TIMEOUT, QORHTTP_OPTION_SEND_TIMEOUT,
                             QORHTTP_OPTION_CONNECT_TIMEOUT}) {
        facade.SetOptions(id, &timeout, sizeof timeout);
    }
    QORHttpWDriver driver("facade_bench driver", 1, 1);
    for (std::uint32_t id : {QORHTTP_OPTION_RECEIVE_TIMEOUT, QORHTTP_OPTION_SEND_TIMEOUT,
                             QORHTTP_OPTION_CONNECT_TIMEOUT}) {
        driver.SetOptions(id, &timeout, sizeof timeout);
    }
    const long long size = FacadeGet(facade, url.c_str());
    BareWinINet bare;
    if (size < 0 || DriverGet(driver, url.c_str()) != size || !bare.Open(url) || bare.Get() != size) {
        std::fprintf(stderr, "the first GET failed\n");
        return 1;
    }

    const double facadeSeconds = SecondsFor(count, size, [&] { return FacadeGet(facade, url.c_str()); }, "facade");
    const double driverSeconds = SecondsFor(count, size, [&] { return DriverGet(driver, url.c_str()); }, "driver");
    const double bareSeconds = SecondsFor(count, size, [&] { return bare.Get(); }, "WinINet");
    const double stateSeconds = SecondsFor(count, size, [&] { return bare.Get(true); }, "WinINet with state");
    std::printf("facade: %d GETs of %lld bytes in %.3f s: %.1f us per GET\n", count, size, facadeSeconds,
                facadeSeconds * 1e6 / count);
    std::printf("driver: %d GETs of %lld bytes in %.3f s: %.1f us per GET\n", count, size, driverSeconds,
                driverSeconds * 1e6 / count);
    std::printf("WinINet: %d GETs of %lld bytes in %.3f s: %.1f us per GET\n", count, size, bareSeconds,
                bareSeconds * 1e6 / count);
    std::printf("WinINet + InternetGetConnectedState: %d GETs of %lld bytes in %.3f s: %.1f us per GET\n", count,
                size, stateSeconds, stateSeconds * 1e6 / count);
    std::printf("facade / WinINet per GET: %.2f (goal <= 1.5)\n", facadeSeconds / bareSeconds);
    return 0;
}
