// URL encoding, decoding and cracking.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "QORHttpErrors.h"
#include "QORHttpTools.h"
#include "ZYNSysTraceClient.h"

namespace {

ZYNSysTraceClient* g_trace = nullptr;

ZYNSysTraceClient** Trace() {
    ZYNSysTraceClient::Create(&g_trace, "HTTP");
    return &g_trace;
}

struct FreeText {
    void operator()(char* text) const { std::free(text); }
};
using Text = std::unique_ptr<char, FreeText>;

constexpr const char kCodeUrl[] = "QORSysCodeUrl";
constexpr const char kHexDigits[] = "0123456789ABCDEF";

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return c - 'a' + 10;
}

bool IsAlphaNumeric(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Control bytes go out encoded as well: copied, a CR LF would end the raw driver's request line.
bool EncodedInPath(std::string_view text, std::size_t i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) return true;
    // An escape already in the path stays one: "%20" must not become "%2520".
    if (c == '%') return !(i + 2 < text.size() && IsHexDigit(text[i + 1]) && IsHexDigit(text[i + 2]));
    return std::strchr(" \"&:;<>@[\\]^`{|}~", c) != nullptr;
}

bool EncodedInQuery(unsigned char c, bool reservedToo) {
    if (IsAlphaNumeric(c)) return false;
    if (!reservedToo && c != '\0' && std::strchr("%&+-._=~", c) != nullptr) return false;
    return true;
}

std::size_t SchemeLength(std::string_view url) {
    for (std::string_view scheme : {"http://", "https://", "ws://"}) {
        if (url.substr(0, scheme.size()) == scheme) return scheme.size();
    }
    return 0;
}

HRESULT Encode(std::string_view url, std::size_t schemeLength, std::uint32_t mode, char** out) {
    // A query or fragment without a path is encoded as well: copied, a CR LF in it would reach
    // the raw driver's request line.
    const std::size_t pathStart = url.find_first_of("/?#", schemeLength);
    if (pathStart == std::string_view::npos) {
        Text copy(static_cast<char*>(std::malloc(url.size() + 1)));
        if (!copy) return TraceHttpOutOfMemory(Trace(), 0, kCodeUrl, "*oHttpPath (2)");
        std::memcpy(copy.get(), url.data(), url.size());
        copy.get()[url.size()] = '\0';
        *out = copy.release();
        return 0;
    }
    if (url.size() > (SIZE_MAX - 1) / 3) return TraceHttpOutOfMemory(Trace(), 0, kCodeUrl, "*oHttpPath");
    const std::size_t capacity = url.size() * 3 + 1;
    Text buffer(static_cast<char*>(std::malloc(capacity)));
    if (!buffer) return TraceHttpOutOfMemory(Trace(), 0, kCodeUrl, "*oHttpPath");
    char* const begin = buffer.get();
    char* o = begin;
    std::memcpy(o, url.data(), pathStart);
    o += pathStart;
    const bool inPath = (mode & QORHTTP_URL_ENCODE_PATH) != 0;
    const bool inQuery = (mode & QORHTTP_URL_ENCODE_QUERY) != 0;
    const bool inFragment = inQuery && (mode & QORHTTP_URL_ENCODE_FRAGMENT) != 0;
    const bool reservedToo = (mode & QORHTTP_URL_ENCODE_RESERVED) != 0;
    bool query = false;
    bool fragment = false;
    for (std::size_t i = pathStart; i < url.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(url[i]);
        bool encode = false;
        if (c == '?' && !query && !fragment) {
            query = true;
        } else if (c == '#' && !fragment) {
            query = fragment = true;
        } else if (fragment) {
            encode = inFragment && EncodedInQuery(c, reservedToo);
        } else if (query) {
            encode = inQuery && EncodedInQuery(c, reservedToo);
        } else {
            encode = inPath && EncodedInPath(url, i);
        }
        // Three bytes per input byte and the NUL fit by construction; checked all the same.
        if (static_cast<std::size_t>(o - begin) + (encode ? 3 : 1) >= capacity) {
            return TraceHttpError(Trace(), 0, kCodeUrl, "*oHttpPath", E_FAIL);
        }
        if (encode) {
            *o++ = '%';
            *o++ = kHexDigits[c >> 4];
            *o++ = kHexDigits[c & 0xF];
        } else {
            *o++ = static_cast<char>(c);
        }
    }
    *o = '\0';
    *out = buffer.release();
    return 0;
}

HRESULT Decode(std::string_view url, char** out) {
    Text buffer(static_cast<char*>(std::malloc(url.size() + 1)));
    if (!buffer) return TraceHttpOutOfMemory(Trace(), 0, kCodeUrl, "*oStrUTF8 (3)");
    char* o = buffer.get();
    for (std::size_t i = 0; i < url.size(); ++i) {
        const char c = url[i];
        if (c == '+') {
            *o++ = ' ';
        } else if (c == '%') {
            // Other characters read as digits would give a wrong byte: they fail like a cut escape.
            if (i + 2 >= url.size() || !IsHexDigit(url[i + 1]) || !IsHexDigit(url[i + 2])) {
                return TraceHttpError(Trace(), 0, kCodeUrl, "Corrupted Url", E_FAIL);
            }
            *o++ = static_cast<char>(HexValue(url[i + 1]) * 16 + HexValue(url[i + 2]));
            i += 2;
        } else {
            *o++ = c;
        }
    }
    *o = '\0';
    *out = buffer.release();
    return 0;
}

// One component: asked for by a non-zero length; copied into the caller's buffer, or pointed at
// inside the cracked text when there is none. A buffer too small is left untouched and makes
// the crack fail: a caller must not take a stale or empty buffer for the component.
void SetComponent(char*& text, DWORD& length, const char* from, std::size_t size, bool& fits) {
    if (length == 0) return;
    if (text != nullptr) {
        if (length > size) {
            std::memcpy(text, from, size);
            text[size] = '\0';
        } else {
            fits = false;
        }
    } else {
        text = const_cast<char*>(from);
    }
    length = static_cast<DWORD>(size);
}

bool AllAskedHaveBuffers(const URL_COMPONENTSA& c) {
    return (c.dwSchemeLength == 0 || c.lpszScheme != nullptr) &&
           (c.dwHostNameLength == 0 || c.lpszHostName != nullptr) &&
           (c.dwUserNameLength == 0 || c.lpszUserName != nullptr) &&
           (c.dwPasswordLength == 0 || c.lpszPassword != nullptr) &&
           (c.dwUrlPathLength == 0 || c.lpszUrlPath != nullptr) &&
           (c.dwExtraInfoLength == 0 || c.lpszExtraInfo != nullptr);
}

HRESULT Crack(std::string_view url, URL_COMPONENTSA& c) {
    c.nScheme = INTERNET_SCHEME_UNKNOWN;
    const std::size_t separator = url.find("://");
    if (separator == std::string_view::npos) return E_INVALIDARG;
    const std::size_t schemeEnd = separator + 3;
    if (url.substr(0, 7) == "http://") c.nScheme = INTERNET_SCHEME_HTTP;
    if (url.substr(0, 8) == "https://") c.nScheme = INTERNET_SCHEME_HTTPS;

    // The authority ends at the first '/', '?' or '#': an '@' or ':' in a query without a path
    // must not choose the host.
    std::size_t authorityEnd = url.find_first_of("/?#", schemeEnd);
    if (authorityEnd == std::string_view::npos) authorityEnd = url.size();
    std::size_t pathEnd = authorityEnd;
    std::size_t extraStart = url.size();
    if (authorityEnd < url.size()) {
        if (url[authorityEnd] == '/') {
            extraStart = url.find('?', authorityEnd);
            if (extraStart == std::string_view::npos) extraStart = url.find('#', authorityEnd);
            if (extraStart == std::string_view::npos) extraStart = url.size();
            pathEnd = extraStart;
        } else {
            extraStart = authorityEnd;
        }
    }

    std::size_t hostStart = schemeEnd;
    std::size_t userEnd = schemeEnd;
    std::size_t passwordStart = schemeEnd;
    std::size_t passwordEnd = schemeEnd;
    const std::string_view authority = url.substr(schemeEnd, authorityEnd - schemeEnd);
    const std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        const std::size_t colon = authority.substr(0, at).find(':');
        if (colon == std::string_view::npos) return static_cast<HRESULT>(0x80072EE5);
        userEnd = schemeEnd + colon;
        passwordStart = userEnd + 1;
        passwordEnd = schemeEnd + at;
        hostStart = passwordEnd + 1;
    }

    const std::string_view hostPart = url.substr(hostStart, authorityEnd - hostStart);
    std::size_t portColon = std::string_view::npos;
    if (!hostPart.empty() && hostPart[0] == '[') {
        const std::size_t bracket = hostPart.rfind(']');
        if (bracket != std::string_view::npos) portColon = hostPart.find(':', bracket);
    } else {
        portColon = hostPart.find(':');
    }
    INTERNET_PORT port = c.nScheme == INTERNET_SCHEME_HTTPS ? 443 : 80;
    std::size_t hostEnd = authorityEnd;
    if (portColon != std::string_view::npos) {
        hostEnd = hostStart + portColon;
        const std::string_view digits = hostPart.substr(portColon + 1);
        if (digits.size() > 7) return -1;
        unsigned long value = 0;
        bool number = !digits.empty();
        for (char d : digits) {
            if (d < '0' || d > '9') number = false;
            else value = value * 10 + static_cast<unsigned long>(d - '0');
        }
        port = number && value <= 65535 ? static_cast<INTERNET_PORT>(value) : 80;
    }
    c.nPort = port;

    const char* base = url.data();
    bool fits = true;
    SetComponent(c.lpszScheme, c.dwSchemeLength, base, schemeEnd, fits);
    SetComponent(c.lpszHostName, c.dwHostNameLength, base + hostStart, hostEnd - hostStart, fits);
    SetComponent(c.lpszUserName, c.dwUserNameLength, base + schemeEnd, userEnd - schemeEnd, fits);
    SetComponent(c.lpszPassword, c.dwPasswordLength, base + passwordStart, passwordEnd - passwordStart, fits);
    SetComponent(c.lpszUrlPath, c.dwUrlPathLength, base + authorityEnd, pathEnd - authorityEnd, fits);
    SetComponent(c.lpszExtraInfo, c.dwExtraInfoLength, base + extraStart, url.size() - extraStart, fits);
    return fits ? 0 : E_INVALIDARG;
}

}  // namespace

HRESULT QORSysCodeUrl(const char* url, char** out, std::uint32_t mode) noexcept {
    if (url == nullptr || out == nullptr) return TraceHttpError(Trace(), 0, kCodeUrl, "E_INVALIDARG", E_INVALIDARG);
    const std::string_view text(url);
    const std::size_t schemeLength = SchemeLength(text);
    if (schemeLength == 0) return TraceHttpError(Trace(), 0, kCodeUrl, "E_INVALIDARG", E_INVALIDARG);
    if ((mode & QORHTTP_URL_ENCODE) != 0) return Encode(text, schemeLength, mode, out);
    if (mode == QORHTTP_URL_DECODE) return Decode(text, out);
    return 0;
}

HRESULT QORSysCrackUrl(const char* url, DWORD length, std::uint32_t encodeMode,
                       URL_COMPONENTSA* components) noexcept {
    if (url == nullptr || components == nullptr) return E_INVALIDARG;
    const std::string_view text(url, length != 0 ? strnlen(url, length) : std::strlen(url));
    if (encodeMode == 0) return Crack(text, *components);
    // The components are copied out of a temporary encoded text: they need buffers.
    if (!AllAskedHaveBuffers(*components)) return E_INVALIDARG;
    Text source(static_cast<char*>(std::malloc(text.size() + 1)));
    if (!source) return TraceHttpOutOfMemory(Trace(), 0, "QORSysCrackUrl", "url");
    std::memcpy(source.get(), text.data(), text.size());
    source.get()[text.size()] = '\0';
    char* coded = nullptr;
    const HRESULT hr = QORSysCodeUrl(source.get(), &coded, encodeMode);
    if (hr != 0) return hr;
    const Text encoded(coded);
    return Crack(encoded ? std::string_view(encoded.get()) : text, *components);
}
