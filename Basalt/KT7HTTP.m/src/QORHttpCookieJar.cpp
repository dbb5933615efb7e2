#include "QORHttpCookieJar.h"

#include <cstddef>
#include <cstring>
#include <vector>

#include "ZYNSysSeam.h"
#include "ZYNSysWin.h"

#include <wininet.h>

namespace {

// Bound on what one jar answer may bring in.
constexpr std::size_t kMaxJarBytes = 1024 * 1024;

class WinINetCookieJar final : public QORHttpCookieJar {
public:
    bool Read(const std::string& url, std::string& jar) override {
        std::size_t size = 1024;
        while (size <= kMaxJarBytes) {
            std::vector<char> buffer(size + 1, '\0');
            DWORD length = static_cast<DWORD>(size);
            if (::InternetGetCookieExA(url.c_str(), nullptr, buffer.data(), &length, INTERNET_COOKIE_HTTPONLY,
                                       nullptr)) {
                jar.assign(buffer.data(), ::strnlen(buffer.data(), size));
                return true;
            }
            if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
            // The next multiple of 1024 bytes, at least the size WinINet asked for.
            const std::size_t wanted = (static_cast<std::size_t>(length) + 1024) / 1024 * 1024;
            size = wanted > size ? wanted : size + 1024;
        }
        return false;
    }
};

WinINetCookieJar g_real;
ZYNSysSeam<QORHttpCookieJar> g_seam(g_real);

}  // namespace

QORHttpCookieJar* QORHttpSetCookieJar(QORHttpCookieJar* jar) { return g_seam.Set(jar); }

QORHttpCookieJar& QORHttpGetCookieJar() { return g_seam.Get(); }
