#include "QORHttpCookie.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "QORHttpCaches.h"
#include "QORHttpErrors.h"
#include "QORHttpLockHold.h"
#include "QORHttpSharedSetting.h"
#include "QORHttpTools.h"
#include "QORResourceLock.h"
#include "ZYNSysMaskSecret.h"
#include "ZYNSysPtrHashTable.h"
#include "ZYNSysTraceClient.h"

#include <wininet.h>

namespace {

constexpr const char* kSetOperation = "QORHttpCookie->QORSysSetCookie";
constexpr const char* kGetOperation = "QORHttpCookie->QORSysGetCookie";
constexpr const char* kInsertOperation = "ZYNSysInsertCookie";
constexpr const char* kAttrOperation = "QORHttpCookie->GetCookieAttr";
constexpr HRESULT kNoMoreItems = static_cast<HRESULT>(0x80070103);
// Bounds the store, which any server fills, and the walk of a domain's chain on each request.
constexpr int kMaxCookiesPerDomain = 180;

// The trace slot of the store, filled once: the entry points run for every request.
ZYNSysTraceClient** CookieTrace() noexcept {
    static ZYNSysTraceClient* slot = nullptr;
    static const bool made = (ZYNSysTraceClient::Create(&slot, "COOKIE"), true);
    (void)made;
    return &slot;
}

// A masked secret, or "NULL" for none, for a trace argument.
struct Shown {
    explicit Shown(const char* secret)
        : masked(ZYNSysMaskSecret(secret != nullptr ? std::string_view(secret) : std::string_view())),
          text(secret != nullptr ? masked.text : "NULL") {}
    ZYNSysMaskedSecret masked;
    const char* text;
};

// A url for a trace: up to its query, where a CAS ticket travels.
std::string Traced(const char* url) {
    if (url == nullptr) return "NULL";
    const std::string_view text(url);
    return std::string(text.substr(0, text.find_first_of("?#")));
}

ZYNSysCString Copy(std::string_view text) noexcept {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr) return {};
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return ZYNSysCString(copy);
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerCopy(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = Lower(c);
    return lower;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool StartsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

// The url with its path closed by '/'. The slash goes before any query or fragment: behind them
// it would close the query, and "/a?x=1" would not be in the folder /a/.
std::string WithSlash(const char* url) {
    std::string copy(url);
    const std::size_t end = std::min(copy.find_first_of("?#"), copy.size());
    if (end == 0 || copy[end - 1] != '/') copy.insert(end, 1, '/');
    return copy;
}

// Host and path of a url ('/' appended first); false when it does not crack or has no host.
bool CrackHostAndPath(const char* url, std::string& host, std::string* path) {
    const std::string full = WithSlash(url);
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = 1;
    parts.dwUrlPathLength = 1;
    if (FAILED(QORSysCrackUrl(full.c_str(), 0, 0, &parts)) || parts.lpszHostName == nullptr ||
        parts.dwHostNameLength == 0) {
        return false;
    }
    host = LowerCopy(std::string_view(parts.lpszHostName, parts.dwHostNameLength));
    if (path != nullptr) {
        if (parts.lpszUrlPath != nullptr && parts.dwUrlPathLength != 0) {
            path->assign(parts.lpszUrlPath, parts.dwUrlPathLength);
        } else {
            path->assign("/");
        }
    }
    return true;
}

bool IsIpAddress(std::string_view host) {
    if (!host.empty() && host.front() == '[') return true;
    for (char c : host) {
        if (!(c >= '0' && c <= '9') && c != '.') return false;
    }
    return !host.empty();
}

// A domain attribute names the request host or a parent of it with at least two labels; an
// address names only itself. Otherwise any server could plant cookies (CASTGC too) for any
// domain, or for a whole top-level domain.
bool DomainMatches(std::string_view domain, std::string_view host) {
    if (!domain.empty() && domain.front() == '.') domain.remove_prefix(1);
    if (domain.empty()) return false;
    if (domain == host) return true;
    if (IsIpAddress(host) || domain.find('.') == std::string_view::npos) return false;
    return host.size() > domain.size() && host.substr(host.size() - domain.size()) == domain &&
           host[host.size() - domain.size() - 1] == '.';
}

// The records' domain without its leading '.', against a host suffix.
bool SameDomain(const QORHttpCookie& cookie, std::string_view domain) {
    const char* own = cookie._Domain.get();
    if (own == nullptr) return false;
    if (*own == '.') ++own;
    return domain == own;
}

bool HasLineBreak(const char* text) { return text != nullptr && std::strpbrk(text, "\r\n") != nullptr; }

bool HasLineBreak(const QORHttpCookie& cookie) {
    return HasLineBreak(cookie.text.get()) || HasLineBreak(cookie.name.get()) || HasLineBreak(cookie.value.get()) ||
           HasLineBreak(cookie._Path.get()) || HasLineBreak(cookie._Domain.get());
}

// The store: created on first insertion, never destroyed; guarded by StoreLock().
ZYNSysPtrHashTable* g_store = nullptr;

// Made once and never destroyed: driver threads may still call in while the process exits.
QORResourceLock& StoreLock() {
    static QORResourceLock* const lock = new QORResourceLock;
    return *lock;
}

std::uint32_t CookieHash(const void* item) {
    return item != nullptr ? static_cast<const QORHttpCookie*>(item)->domainHash : 0;
}

// Under the write lock.
bool MakeStore() noexcept {
    if (g_store != nullptr) return true;
    auto* table = new (std::nothrow) ZYNSysPtrHashTable();
    if (table == nullptr) return false;
    if (ZYNSysPtrHashTable::Init(table, 53, &CookieHash, &CompareCookies) != 0) {
        delete table;
        return false;
    }
    g_store = table;
    return true;
}

std::atomic<QORSysCASCheckFunction> g_casCheck{nullptr};

// Whether a CAS session is valid, so that its ticket-granting cookie must not be replaced.
bool CASSessionIsValid(const char* url) noexcept {
    std::uint32_t first = 0;
    std::uint32_t second = 0;
    wchar_t* value = nullptr;
    const HRESULT setting = GetSharedSetting("LoginWithUI", &first, &second, &value);
    std::free(value);
    if (SUCCEEDED(setting)) return true;
    const QORSysCASCheckFunction check = g_casCheck.load(std::memory_order_acquire);
    if (check == nullptr) return false;
    char* userName = nullptr;
    char* email = nullptr;
    char* body = nullptr;
    const HRESULT result = check(url, &userName, &email, &body, 0);
    const ZYNSysCString owned[] = {ZYNSysCString(userName), ZYNSysCString(email), ZYNSysCString(body)};
    (void)owned;
    return SUCCEEDED(result);
}

// The value of an attribute ("; name=" or ";name=") of a lower-cased cookie line: nullopt when
// absent or empty; the failure of GetCookieAttr in *error.
std::optional<std::string> Attribute(ZYNSysTraceClient** trace, const std::string& line, const char* name,
                                     HRESULT* error) {
    *error = S_OK;
    const std::string spaced = std::string("; ") + name + "=";
    std::size_t at = line.find(spaced);
    if (at != std::string::npos) {
        at += 2;
    } else {
        at = line.find(std::string(";") + name + "=");
        if (at == std::string::npos) return std::nullopt;
        at += 1;
    }
    const char* attrName = nullptr;
    const char* value = nullptr;
    std::size_t nameLength = 0;
    std::size_t valueLength = 0;
    *error = GetCookieAttr(line.c_str() + at, line.size() - at, &attrName, &nameLength, &value, &valueLength,
                           trace != nullptr ? *trace : nullptr);
    if (FAILED(*error) || value == nullptr) return std::nullopt;
    return std::string(value, valueLength);
}

int TwoDigits(const char* p) {
    if (p[0] < '0' || p[0] > '9' || p[1] < '0' || p[1] > '9') return -1;
    return (p[0] - '0') * 10 + (p[1] - '0');
}

// Whether the expires attribute's date has passed. The date is GMT, so it is read as UTC: read
// as local time it would shift every expiry by the zone's offset. An unreadable date never expires.
bool HasExpired(const std::optional<std::string>& expires) {
    if (!expires) return false;
    const char* p = expires->c_str();
    while (IsBlank(*p) || *p == '"') ++p;
    if (std::strlen(p) < 28) return false;
    const char* date = p + 3;
    while (*date == ',' || *date == ' ') ++date;
    if (std::strlen(date) < 20) return false;
    static constexpr char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    int month = -1;
    for (int m = 0; m < 12; ++m) {
        if (Lower(date[3]) == Lower(kMonths[3 * m]) && Lower(date[4]) == Lower(kMonths[3 * m + 1]) &&
            Lower(date[5]) == Lower(kMonths[3 * m + 2])) {
            month = m;
            break;
        }
    }
    const int day = TwoDigits(date);
    const int century = TwoDigits(date + 7);
    const int year = TwoDigits(date + 9);
    const int hour = TwoDigits(date + 12);
    const int minute = TwoDigits(date + 15);
    const int second = TwoDigits(date + 18);
    if (month < 0 || day < 0 || century < 0 || year < 0 || hour < 0 || minute < 0 || second < 0) return false;
    std::tm when{};
    when.tm_mday = day;
    when.tm_mon = month;
    when.tm_year = century * 100 + year - 1900;
    when.tm_hour = hour;
    when.tm_min = minute;
    when.tm_sec = second;
    const std::time_t expiry = _mkgmtime(&when);
    if (expiry == static_cast<std::time_t>(-1)) return false;
    return expiry < std::time(nullptr);
}

struct LineResult {
    HRESULT error = S_OK;      // a failure that ends the whole call
    bool insertFailed = false;  // the line's record could not be stored
};

// One Set-Cookie line (without any "Cookie: " prefix) for the request url.
LineResult SetCookieLine(ZYNSysTraceClient** trace, const char* url, std::string_view line, unsigned long mode) {
    LineResult result;
    auto fail = [&](const char* tag, HRESULT code) {
        result.error = TraceHttpError(trace, 0, kSetOperation, tag, code);
        return result;
    };
    auto outOfMemory = [&](const char* tag) {
        result.error = TraceHttpOutOfMemory(trace, 0, kSetOperation, tag);
        return result;
    };
    // Sent back in a Cookie header, a CR or LF would end that header and start another.
    if (line.find_first_of("\r\n") != std::string_view::npos) return fail("CR or LF in line", E_FAIL);

    QORHttpCookieList record(new (std::nothrow) QORHttpCookie());
    if (!record) return outOfMemory("Cookie");
    QORHttpCookie& cookie = *record;

    const std::string original(line);
    // The line has no header name before it: a leading ':' makes the walk start at its
    // beginning, where a ':' of a value or of an expiry time would hide the attributes before it.
    std::string text = ":" + original;
    if (FAILED(CookieToLower(text.data()))) return fail("CookieToLower", E_FAIL);
    text.erase(0, 1);
    cookie.text = Copy(text);
    if (!cookie.text) return outOfMemory("text");

    const char* name = nullptr;
    const char* value = nullptr;
    std::size_t nameLength = 0;
    std::size_t valueLength = 0;
    const HRESULT attr =
        GetCookieAttr(text.c_str(), text.size(), &name, &nameLength, &value, &valueLength, *trace);
    if (FAILED(attr)) return fail("GetCookieAttr", attr);
    cookie.name = Copy(std::string_view(name, nameLength));
    if (!cookie.name) return outOfMemory("name");
    cookie.nameLength = static_cast<std::uint32_t>(nameLength);
    if (value != nullptr) {
        cookie.value = Copy(std::string_view(value, valueLength));
        if (!cookie.value) return outOfMemory("value");
        cookie.valueLength = static_cast<std::uint32_t>(valueLength);
    }

    HRESULT error = S_OK;
    std::optional<std::string> path = Attribute(trace, text, "path", &error);
    if (FAILED(error)) return fail("GetCookieAttr path", error);
    // Appended to the host, a path not starting with '/' ("Path=.evil.test/") would send the
    // WinINet copy to another host.
    if (path && path->front() != '/') return fail("_Path not starting with /", E_FAIL);
    if (path && path->back() != '/') *path += '/';
    const std::optional<std::string> domainAttribute = Attribute(trace, text, "domain", &error);
    if (FAILED(error)) return fail("GetCookieAttr domain", error);
    // Found as an attribute: "pref=noexpires" must not hide the real one.
    const std::optional<std::string> expires = Attribute(trace, text, "expires", &error);
    if (FAILED(error)) return fail("GetCookieAttr expires", error);
    const std::optional<std::string> version = Attribute(trace, text, "version", &error);
    if (FAILED(error)) return fail("GetCookieAttr version", error);
    if (version) {
        if (version->size() > 7) return fail("GetCookieAttr version", E_FAIL);
        cookie.version = static_cast<std::uint32_t>(std::strtoul(version->c_str(), nullptr, 10));
    }

    const char* afterScheme = std::strstr(url, "://") + 3;
    std::string cookieUrl;
    if (path) {
        const char* slash = std::strchr(afterScheme, '/');
        cookieUrl.assign(url, slash != nullptr ? static_cast<std::size_t>(slash - url) : std::strlen(url));
        cookieUrl += *path;
    } else {
        cookieUrl = url;
    }
    cookie._Url = Copy(cookieUrl);
    if (!cookie._Url) return outOfMemory("Cookie->_Url == NULL");

    std::string domain;
    if (domainAttribute) {
        domain = LowerCopy(*domainAttribute);
    } else if (!CrackHostAndPath(cookieUrl.c_str(), domain, nullptr)) {
        return fail("QORSysCrackUrl", E_FAIL);
    }
    // Also without a domain attribute: a path without its leading '/' ("Path=.evil.test/")
    // would otherwise move the cookie's url, and so its default domain, to another host.
    std::string requestHost;
    if (!CrackHostAndPath(url, requestHost, nullptr)) return fail("QORSysCrackUrl", E_FAIL);
    if (!DomainMatches(domain, requestHost)) return fail("_Domain not of the request host", E_FAIL);
    cookie._Domain = Copy(domain);
    if (!cookie._Domain) return outOfMemory("_Domain 1");
    cookie.domainLength = static_cast<std::uint32_t>(domain.size());

    if (!path) {
        const char* slash = std::strchr(cookieUrl.c_str() + (afterScheme - url), '/');
        if (slash == nullptr) {
            path = "/";
        } else {
            const std::string_view rest(slash);
            const std::size_t query = rest.find('?');
            const std::size_t last = query == std::string_view::npos ? rest.rfind('/') : rest.rfind('/', query);
            path = std::string(rest.substr(0, last + 1));
            if (path->empty()) path = "/";
        }
    }
    cookie._Path = Copy(*path);
    if (!cookie._Path) return outOfMemory("_Path 1");
    cookie.pathLength = static_cast<std::uint32_t>(path->size());

    cookie.domainHash = QORHttpCookieDomainHash(cookie._Domain.get());
    cookie.secure = GetCookiePropertie(text.c_str(), "secure", *trace) == 0 ? 1 : 0;
    cookie.HttpOnly = GetCookiePropertie(text.c_str(), "httponly", *trace) == 0 ? 1 : 0;
    const bool securedUrl = StartsWith(url, "https://") || StartsWith(url, "wss://");
    if (cookie.secure && !securedUrl) return fail("Trying to insert secure cookie on non secured URL", E_FAIL);

    QORHttpWriteHold hold(StoreLock());
    if (!MakeStore()) return outOfMemory("_QORCookieCache");
    // Anyone on the way may have written a plain answer: it neither replaces nor removes a secure
    // cookie (a CAS ticket among them), in the store or in the WinINet copy.
    if (!securedUrl) {
        const auto* stored = static_cast<const QORHttpCookie*>(g_store->Find(&cookie));
        if (stored != nullptr && stored->secure) {
            ZYNSysTraceClient::InfoPrintf(*trace, "\tQORSysSetCookie cookie=<%s> Secure kept",
                                          Shown(stored->text.get()).text);
            return result;
        }
    }
    if (QORHttpCookieList stored{static_cast<QORHttpCookie*>(g_store->Remove(&cookie))}) {
        ZYNSysTraceClient::InfoPrintf(*trace, "\tQORSysSetCookie cookie=<%s> Deleted", Shown(stored->text.get()).text);
    }
    const bool keep = cookie.value && !HasExpired(expires) && GetCookiePropertie(text.c_str(), "delete", *trace) != 0;
    if (keep) {
        const std::string_view own = domain.front() == '.' ? std::string_view(domain).substr(1) : domain;
        int held = 0;
        for (void* item = g_store->FindByHash(cookie.domainHash); item != nullptr && held < kMaxCookiesPerDomain;
             item = g_store->FindNextSameHash(item)) {
            if (SameDomain(*static_cast<const QORHttpCookie*>(item), own)) ++held;
        }
        if (held >= kMaxCookiesPerDomain) return fail("Too many cookies for the domain", E_FAIL);
        if (g_store->Insert(&cookie) == 1) {
            (void)record.release();
        } else {
            result.insertFailed = true;
        }
    }
    if (!result.insertFailed && (mode & 1) == 0) {
        ZYNSysTraceClient::InfoPrintf(*trace, "\tQORSysSetCookie InternetSetCookieA cookie=<%s> on URL=<%s>",
                                      Shown(original.c_str()).text, Traced(cookieUrl.c_str()).c_str());
        if (cookie.HttpOnly || (mode & 0x2000) != 0) {
            ::InternetSetCookieExA(cookieUrl.c_str(), nullptr, original.c_str(), INTERNET_COOKIE_HTTPONLY, 0);
        } else {
            ::InternetSetCookieA(cookieUrl.c_str(), nullptr, original.c_str());
        }
    }
    return result;
}

HRESULT SetCookie(const char* url, const char* text, unsigned long mode) {
    ZYNSysTraceClient** trace = CookieTrace();
    ZYNSysTraceClient::InfoPrintf(*trace, "QORHttpCookie->QORSysSetCookie");
    QORHttpTools::InitializeRegKeys(*trace);
    ZYNSysTraceClient::InfoPrintf(*trace, "\tQORSysSetCookie url=<%s>", Traced(url).c_str());
    ZYNSysTraceClient::InfoPrintf(*trace, "\tQORSysSetCookie value=<%s>", Shown(text).text);
    if (url == nullptr || text == nullptr) return TraceHttpError(trace, 0, kSetOperation, "INVALIDARG", E_INVALIDARG);
    if (!StartsWith(url, "http://") && !StartsWith(url, "https://") && !StartsWith(url, "ws://") &&
        !StartsWith(url, "wss://")) {
        return TraceHttpError(trace, 0, kSetOperation, "No Protocol", E_FAIL);
    }

    static const HRESULT imported = ImportOSCookieCache(*trace, std::strstr(url, "://") + 3);
    (void)imported;

    if (std::strstr(text, "CASTGC=") != nullptr && (mode & 3) == 0 && CASSessionIsValid(url)) {
        ZYNSysTraceClient::InfoPrintf(*trace, "\tQORSysSetCookie Protected");
        return S_OK;
    }

    bool lastInsertFailed = false;
    const std::string_view all(text);
    std::size_t start = 0;
    while (start < all.size()) {
        std::size_t end = all.find("\r\n", start);
        if (end == std::string_view::npos) end = all.size();
        std::string_view line = all.substr(start, end - start);
        // Within this line only: a later line's prefix must not swallow the lines before it.
        const std::size_t prefix = line.find("Cookie: ");
        if (prefix != std::string_view::npos) line.remove_prefix(prefix + 8);
        const LineResult result = SetCookieLine(trace, url, line, mode);
        if (FAILED(result.error)) return result.error;
        lastInsertFailed = result.insertFailed;
        start = end == all.size() ? end : end + 2;
    }
    if (lastInsertFailed) return TraceHttpError(trace, 0, kSetOperation, "End", E_FAIL);
    ZYNSysTraceClient::InfoPrintf(*trace, "\tQORSysSetCookie OK");
    return S_OK;
}

HRESULT GetCookie(const char* url, const char* nameFilter, char** outText, unsigned long flags) {
    ZYNSysTraceClient** trace = CookieTrace();
    QORHttpTools::InitializeRegKeys(*trace);
    ZYNSysTraceClient::InfoPrintf(*trace, "QORHttpCookie->QORSysGetCookie");
    if (url == nullptr || outText == nullptr) {
        return TraceHttpError(trace, 0, kGetOperation, "INVALIDARG", E_INVALIDARG);
    }
    *outText = nullptr;
    if ((flags & 4) == 0 && FAILED(QORSysGetOSCookieFromRoot(url, flags))) {
        return TraceHttpError(trace, 0, kGetOperation, "QORSysGetOSCookieFromRoot", E_FAIL);
    }
    {
        QORHttpReadHold hold(StoreLock());
        if (g_store == nullptr) return TraceHttpError(trace, 0, kGetOperation, "No _QORCookieCache", kNoMoreItems);
    }
    // The same schemes that may set a secure cookie: ws:// is as plain as http://.
    const bool allowSecure = StartsWith(url, "https://") || StartsWith(url, "wss://");
    std::string host;
    std::string path;
    if (!CrackHostAndPath(url, host, &path)) return TraceHttpError(trace, 0, kGetOperation, "QORSysCrackUrl", E_FAIL);

    // The host's parent domains from the top-level label down, then the host itself; an address
    // has no parents.
    std::string output;
    int taken = 0;
    {
        QORHttpReadHold hold(StoreLock());
        std::size_t dot = IsIpAddress(host) ? std::string::npos : host.rfind('.');
        for (;;) {
            const std::string_view domain =
                dot == std::string::npos ? std::string_view(host) : std::string_view(host).substr(dot + 1);
            const std::uint32_t hash = QORHttpCookieDomainHash(std::string(domain).c_str());
            for (void* item = g_store->FindByHash(hash); item != nullptr; item = g_store->FindNextSameHash(item)) {
                const QORHttpCookie& cookie = *static_cast<const QORHttpCookie*>(item);
                ZYNSysTraceClient::InfoPrintf(*trace,
                                              "\tQORSysGetCookie Found with same key cookie name=<%s>, cookie value=<%s>",
                                              cookie.name.get(), Shown(cookie.value.get()).text);
                // The hash alone would send a colliding domain's cookies here.
                if (!SameDomain(cookie, domain)) continue;
                if (cookie.secure && !allowSecure) continue;
                if (std::strncmp(path.c_str(), cookie._Path.get(), cookie.pathLength) != 0) continue;
                if (nameFilter != nullptr && std::strncmp(nameFilter, cookie.name.get(), cookie.nameLength) != 0) {
                    continue;
                }
                ZYNSysTraceClient::InfoPrintf(*trace,
                                              "\tQORSysGetCookie add to output cookie name=<%s>, cookie value=<%s>",
                                              cookie.name.get(), Shown(cookie.value.get()).text);
                if (taken == 0) {
                    if ((flags & 1) != 0) output += "Cookie: ";
                } else {
                    output += (flags & 2) != 0 ? "\r\nCookie: " : "; ";
                }
                ++taken;
                output += cookie.name.get();
                output += '=';
                if (cookie.value) output += cookie.value.get();
                if ((flags & 1) == 0) {
                    output += "; Path=";
                    output += cookie._Path.get();
                }
            }
            if (dot == std::string::npos) break;
            dot = dot == 0 ? std::string::npos : host.rfind('.', dot - 1);
        }
    }
    if (flags != 0 && !output.empty()) output += "\r\n";
    ZYNSysTraceClient::InfoPrintf(*trace, "\tQORSysGetCookie output cookies=<%s>", Shown(output.c_str()).text);
    const bool written = flags != 0 ? output.size() > 8 : !output.empty();
    if (!written) return TraceHttpError(trace, 0, kGetOperation, "End", kNoMoreItems);
    ZYNSysCString text = Copy(output);
    if (!text) return TraceHttpOutOfMemory(trace, 0, kGetOperation, "output");
    *outText = text.release();
    return S_OK;
}

}  // namespace

void QORHttpCookieListDeleter::operator()(QORHttpCookie* list) const noexcept {
    while (list != nullptr) {
        QORHttpCookie* next = list->next;
        delete list;
        list = next;
    }
}

HRESULT QORSysSetCookie(const char* url, const char* setCookieText, unsigned long mode) noexcept {
    try {
        return SetCookie(url, setCookieText, mode);
    } catch (...) {
        return TraceHttpOutOfMemory(CookieTrace(), 0, kSetOperation, "line");
    }
}

HRESULT QORSysGetCookie(const char* url, const char* nameFilter, char** outText, unsigned long flags) noexcept {
    try {
        return GetCookie(url, nameFilter, outText, flags);
    } catch (...) {
        return TraceHttpOutOfMemory(CookieTrace(), 0, kGetOperation, "output");
    }
}

HRESULT ZYNSysInsertCookie(ZYNSysTraceClient* trace, QORHttpCookieList& list) noexcept {
    QORHttpWriteHold hold(StoreLock());
    if (!MakeStore()) return TraceHttpOutOfMemory(&trace, 0, kInsertOperation, "_QORCookieCache");
    bool refused = false;
    while (list) {
        QORHttpCookieList record(list.release());
        list.reset(record->next);
        record->next = nullptr;
        // An incomplete record would reach the look-up's string functions, a line break a
        // request head: it is dropped here.
        if (!record->text || !record->name || !record->_Domain || !record->_Path || HasLineBreak(*record)) {
            refused = true;
            continue;
        }
        QORHttpCookieList stored(static_cast<QORHttpCookie*>(g_store->Remove(record.get())));
        if (g_store->Insert(record.get()) == 1) {
            (void)record.release();
        } else {
            refused = true;
        }
    }
    if (refused) return TraceHttpError(&trace, 0, kInsertOperation, "Insert", E_FAIL);
    return S_OK;
}

HRESULT GetCookieAttr(const char* text, std::size_t length, const char** outName, std::size_t* outNameLength,
                      const char** outValue, std::size_t* outValueLength, ZYNSysTraceClient* trace) noexcept {
    if (text == nullptr || length == 0) return TraceHttpError(&trace, 0, kAttrOperation, "INVALIDARG", E_INVALIDARG);
    const char* end = text + length;
    const char* equal = static_cast<const char*>(std::memchr(text, '=', length));
    if (equal == nullptr) return TraceHttpError(&trace, 0, kAttrOperation, "No =", E_FAIL);
    const char* name = text;
    while (name < equal && IsBlank(*name)) ++name;
    const char* nameEnd = equal;
    while (nameEnd > name && IsBlank(nameEnd[-1])) --nameEnd;
    const char* value = equal + 1;
    while (value < end && IsBlank(*value)) ++value;
    const char* semicolon = static_cast<const char*>(std::memchr(equal + 1, ';', end - (equal + 1)));
    const char* valueEnd = semicolon != nullptr ? semicolon : end;
    if (value > valueEnd) value = valueEnd;
    while (valueEnd > value && (IsBlank(valueEnd[-1]) || valueEnd[-1] == ';')) --valueEnd;
    if (outName != nullptr) *outName = name;
    if (outNameLength != nullptr) *outNameLength = static_cast<std::size_t>(nameEnd - name);
    if (outValue != nullptr) *outValue = valueEnd > value ? value : nullptr;
    if (outValueLength != nullptr) *outValueLength = static_cast<std::size_t>(valueEnd - value);
    return S_OK;
}

int GetCookiePropertie(const char* text, const char* property, ZYNSysTraceClient* /*trace*/) noexcept {
    if (text == nullptr || property == nullptr || *property == '\0') return 1;
    const std::size_t length = std::strlen(property);
    for (const char* at = std::strstr(text, property); at != nullptr; at = std::strstr(at + 1, property)) {
        // The whole attribute, between ';' and blanks: "undelete" or "insecure" only contain it.
        const char* after = at + length;
        while (IsBlank(*after)) ++after;
        if (*after != '\0' && *after != ';') continue;
        const char* before = at;
        while (before > text && IsBlank(before[-1])) --before;
        if (before == text || before[-1] == ';') return 0;
    }
    return 1;
}

std::uint32_t QORHttpCookieDomainHash(const char* domain) noexcept {
    if (domain == nullptr) return 0;
    if (*domain == '.') ++domain;
    return QORHttpTextHash(domain);
}

int CompareCookies(const void* stored, const void* given) noexcept {
    const auto* a = static_cast<const QORHttpCookie*>(stored);
    const auto* b = static_cast<const QORHttpCookie*>(given);
    // Any non-zero answer means "equal" to the table: a broken record must match nothing.
    if (a == nullptr || b == nullptr || !a->text || !b->text || !a->_Path || !b->_Path || !a->_Domain ||
        !b->_Domain || !a->name || !b->name) {
        return 0;
    }
    return std::strcmp(a->_Domain.get(), b->_Domain.get()) == 0 && a->pathLength == b->pathLength &&
                   std::strcmp(a->_Path.get(), b->_Path.get()) == 0 && a->nameLength == b->nameLength &&
                   std::strcmp(a->name.get(), b->name.get()) == 0
               ? 1
               : 0;
}

void QORSysSetCASCheck(QORSysCASCheckFunction check) noexcept { g_casCheck.store(check, std::memory_order_release); }

QORSysCASCheckFunction QORSysGetCASCheck() noexcept { return g_casCheck.load(std::memory_order_acquire); }
