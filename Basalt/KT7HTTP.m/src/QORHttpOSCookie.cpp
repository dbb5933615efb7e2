// The store fed from WinINet: the jar's cookies of a url, and the URL-cache cookie files that
// the system keeps for persistent cookies.
#include "QORHttpCookie.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "QORHttpCookieJar.h"
#include "QORHttpErrors.h"
#include "ZYNSysHandle.h"
#include "ZYNSysTraceClient.h"

#include <wininet.h>

namespace {

constexpr const char* kRootOperation = "QORHttpCookie->QORSysGetOSCookieFromRoot";
constexpr const char* kCacheOperation = "QORHttpCookie->ImportOSCookieCache";
constexpr const char* kParseOperation = "QORHttpCookie->ParseOSCookieCacheFile";
// Bounds on what one cache file may bring in.
constexpr DWORD kMaxCacheFileBytes = 1024 * 1024;
constexpr DWORD kMaxCacheInfoBytes = 64 * 1024;

void UnlockCacheStream(HANDLE stream) { ::UnlockUrlCacheEntryStream(stream, 0); }
using CacheStreamTraits = ZYNSysHandleTraits<HANDLE, &UnlockCacheStream>;
using CacheStream = ZYNSysHandle<CacheStreamTraits>;

ZYNSysTraceClient** CookieTrace() noexcept {
    static ZYNSysTraceClient* slot = nullptr;
    static const bool made = (ZYNSysTraceClient::Create(&slot, "COOKIE"), true);
    (void)made;
    return &slot;
}

std::string WithSlash(const char* url) {
    std::string copy(url);
    if (copy.empty() || copy.back() != '/') copy += '/';
    return copy;
}

// How many cookies of that name (and that value, when given) a QORSysGetCookie text ("n=v;
// Path=p; n=v; Path=p\r\n") holds. A search for the value alone would find "1" inside "a=10"
// and never import the changed value.
int CountPairs(const char* text, std::string_view name, const std::string_view* value) {
    std::string_view rest(text != nullptr ? text : "");
    if (rest.size() >= 2 && rest.substr(rest.size() - 2) == "\r\n") rest.remove_suffix(2);
    bool isPair = true;
    int count = 0;
    while (!rest.empty()) {
        const std::size_t end = rest.find("; ");
        const std::string_view item = rest.substr(0, end);
        if (isPair) {
            const std::size_t equal = item.find('=');
            if (equal != std::string_view::npos && item.substr(0, equal) == name &&
                (value == nullptr || item.substr(equal + 1) == *value)) {
                ++count;
            }
        }
        isPair = !isPair;
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 2);
    }
    return count;
}

bool StartsWith(const std::string& text, std::string_view prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

// The url with its secure scheme, under which the store answers its secure cookies as well.
std::string SecureForm(const std::string& url) {
    if (StartsWith(url, "http://")) return "https://" + url.substr(7);
    if (StartsWith(url, "ws://")) return "wss://" + url.substr(5);
    return url;
}

// The store's cookies of that name for the url, in the "n=v; Path=p" form; empty for none.
std::string Stored(const std::string& url, const std::string& name, unsigned long flags) {
    char* stored = nullptr;
    const HRESULT found = QORSysGetCookie(url.c_str(), name.c_str(), &stored, (flags & ~3ul) | 4);
    const ZYNSysCString owned(stored);
    return SUCCEEDED(found) && stored != nullptr ? std::string(stored) : std::string();
}

std::wstring Widen(std::string_view text) {
    if (text.empty()) return {};
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

// The whole URL-cache entry of that name; false when there is none or it is too large.
bool ReadCacheEntry(const std::wstring& name, std::string& data) {
    DWORD infoSize = 0;
    CacheStream stream(::RetrieveUrlCacheEntryStreamW(name.c_str(), nullptr, &infoSize, FALSE, 0));
    if (stream || ::GetLastError() != ERROR_INSUFFICIENT_BUFFER || infoSize == 0 || infoSize > kMaxCacheInfoBytes) {
        return false;
    }
    std::vector<std::uint64_t> infoBlock(infoSize / sizeof(std::uint64_t) + 1);
    auto* info = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOW*>(infoBlock.data());
    stream.Reset(::RetrieveUrlCacheEntryStreamW(name.c_str(), info, &infoSize, FALSE, 0));
    if (!stream || info->dwSizeHigh != 0 || info->dwSizeLow > kMaxCacheFileBytes) return false;
    data.assign(info->dwSizeLow, '\0');
    DWORD length = info->dwSizeLow;
    if (length != 0 && !::ReadUrlCacheEntryStream(stream.Get(), 0, data.data(), &length, 0)) return false;
    data.resize(length);
    return true;
}

// One line of a cache file, without its '\n'; false at the end of the data.
bool NextLine(std::string_view& rest, std::string_view& line) {
    const std::size_t end = rest.find('\n');
    if (end == std::string_view::npos) return false;
    line = rest.substr(0, end);
    rest.remove_prefix(end + 1);
    return true;
}

bool IsNumber(std::string_view text) {
    if (text.empty() || text.size() > 10) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

ZYNSysCString Copy(std::string_view text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr) return {};
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return ZYNSysCString(copy);
}

}  // namespace

HRESULT QORSysGetOSCookieFromRoot(const char* url, unsigned long flags) noexcept {
    try {
        if (url == nullptr || std::strlen(url) < 8) {
            return TraceHttpError(CookieTrace(), 0, kRootOperation, "No a valid URL", E_INVALIDARG);
        }
        // The folders end where the query starts: slashes in it would only multiply the jar reads.
        const std::string_view text(url);
        const std::string full = WithSlash(std::string(text.substr(0, text.find_first_of("?#"))).c_str());
        for (std::size_t at = 8; at < full.size(); ++at) {
            if (full[at] == '/') QORSysGetOSCookie(full.substr(0, at).c_str(), flags);
        }
        return S_OK;
    } catch (...) {
        return TraceHttpOutOfMemory(CookieTrace(), 0, kRootOperation, "url");
    }
}

HRESULT QORSysGetOSCookie(const char* url, unsigned long flags) noexcept {
    try {
        if (url == nullptr) return S_OK;
        const std::string full = WithSlash(url);
        std::string jar;
        if (!QORHttpGetCookieJar().Read(full, jar)) return S_OK;
        const bool secureRead = StartsWith(full, "https://") || StartsWith(full, "wss://");
        std::string_view rest(jar);
        while (!rest.empty()) {
            while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
            const std::size_t end = rest.find(';');
            const std::string_view pair = rest.substr(0, end);
            rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
            const std::size_t equal = pair.find('=');
            if (equal == std::string_view::npos || equal == 0) continue;
            const std::string name(pair.substr(0, equal));
            const std::string_view value = pair.substr(equal + 1);
            // Secure records count too: WinINet answers them for plain urls, and the pair stored
            // again without attributes would replace a secure record by a plain one.
            const std::string all = Stored(SecureForm(full), name, flags);
            if (CountPairs(all.c_str(), name, &value) != 0) continue;
            if (!secureRead && CountPairs(all.c_str(), name, nullptr) >
                                   CountPairs(Stored(full, name, flags).c_str(), name, nullptr)) {
                continue;
            }
            const std::string line = std::string(pair) + (secureRead ? "; Secure" : "");
            QORSysSetCookie(full.c_str(), line.c_str(), 3);
        }
        return S_OK;
    } catch (...) {
        return S_OK;
    }
}

HRESULT ImportOSCookieCache(ZYNSysTraceClient* trace, const char* hostAndPath) noexcept {
    try {
        if (hostAndPath == nullptr) return TraceHttpError(&trace, 0, kCacheOperation, "INVALIDARG", E_INVALIDARG);
        std::string place(hostAndPath);
        place = place.substr(0, place.find('?'));
        const std::size_t colon = place.find(':');
        if (colon != std::string::npos) {
            const std::size_t slash = place.find('/');
            if (slash == std::string::npos || slash < colon) return S_OK;
            place.erase(colon, slash - colon);
        }
        wchar_t user[257] = {};
        DWORD userLength = 257;
        if (!::GetUserNameW(user, &userLength)) user[0] = L'\0';
        for (std::size_t at = place.find('/'); at != std::string::npos; at = place.find('/', at + 1)) {
            std::wstring name = L"cookie:" + std::wstring(user) + L"@" + Widen(std::string_view(place).substr(0, at + 1));
            ::CharLowerBuffW(name.data(), static_cast<DWORD>(name.size()));
            std::string data;
            if (!ReadCacheEntry(name, data)) continue;
            QORHttpCookieList list;
            const HRESULT parsed = ParseOSCookieCacheFile(trace, data.data(), data.size(), list);
            if (FAILED(parsed)) return parsed;
            const HRESULT inserted = ZYNSysInsertCookie(trace, list);
            if (FAILED(inserted)) return inserted;
        }
        return S_OK;
    } catch (...) {
        return TraceHttpOutOfMemory(&trace, 0, kCacheOperation, "hostAndPath");
    }
}

namespace {

HRESULT ParseCacheFile(ZYNSysTraceClient* trace, const char* data, std::size_t length, QORHttpCookieList& list) {
    if (data == nullptr) return TraceHttpError(&trace, 0, kParseOperation, "INVALIDARG", E_INVALIDARG);
    std::string_view rest(data, length);
    while (!rest.empty()) {
        std::string_view name;
        std::string_view value;
        std::string_view place;
        if (!NextLine(rest, name) || !NextLine(rest, value) || !NextLine(rest, place)) {
            return TraceHttpError(&trace, 0, kParseOperation, "no domain line", E_FAIL);
        }
        const std::size_t slash = place.find('/');
        if (slash == std::string_view::npos) return TraceHttpError(&trace, 0, kParseOperation, "no path", E_FAIL);
        std::string_view numbers[5];
        for (std::string_view& number : numbers) {
            if (!NextLine(rest, number) || !IsNumber(number)) {
                return TraceHttpError(&trace, 0, kParseOperation, "numbers", E_FAIL);
            }
        }
        std::string_view star;
        if (!NextLine(rest, star) || star != "*") return TraceHttpError(&trace, 0, kParseOperation, "no *", E_FAIL);

        QORHttpCookieList record(new (std::nothrow) QORHttpCookie());
        if (!record) return TraceHttpOutOfMemory(&trace, 0, kParseOperation, "Cookie");
        std::string domain(place.substr(0, slash));
        for (char& c : domain) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        std::string path(place.substr(slash));
        if (path.back() != '/') path += '/';
        record->text = Copy(std::string(name) + "=" + std::string(value));
        record->name = Copy(name);
        if (!value.empty()) record->value = Copy(value);
        record->_Domain = Copy(domain);
        record->_Path = Copy(path);
        if (!record->text || !record->name || (!value.empty() && !record->value) || !record->_Domain ||
            !record->_Path) {
            return TraceHttpOutOfMemory(&trace, 0, kParseOperation, "Cookie");
        }
        record->nameLength = static_cast<std::uint32_t>(name.size());
        record->valueLength = static_cast<std::uint32_t>(value.size());
        record->domainLength = static_cast<std::uint32_t>(domain.size());
        record->pathLength = static_cast<std::uint32_t>(path.size());
        record->domainHash = QORHttpCookieDomainHash(record->_Domain.get());
        record->secure = (std::strtoul(std::string(numbers[0]).c_str(), nullptr, 10) & 1) != 0 ? 1 : 0;
        record->next = list.release();
        list.reset(record.release());
    }
    return S_OK;
}

}  // namespace

HRESULT ParseOSCookieCacheFile(ZYNSysTraceClient* trace, const char* data, std::size_t length,
                               QORHttpCookieList& list) noexcept {
    try {
        return ParseCacheFile(trace, data, length, list);
    } catch (...) {
        return TraceHttpOutOfMemory(&trace, 0, kParseOperation, "Cookie");
    }
}
