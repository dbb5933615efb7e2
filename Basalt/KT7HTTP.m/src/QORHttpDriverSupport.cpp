#include "QORHttpDriverSupport.h"

#include <cstring>
#include <new>

#include "QORHttpErrors.h"
#include "ZYNSysMaskSecret.h"
#include "ZYNSysTraceClient.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    const std::size_t n = std::strlen(prefix);
    if (text.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

}  // namespace

ZYNSysTraceClient* QORHttpTraceClient() {
    static ZYNSysTraceClient* trace = nullptr;
    ZYNSysTraceClient::Create(&trace, "HTTP");
    return trace;
}

HRESULT QORHttpDriverError(ZYNSysTraceClient* trace, const char* operation, const char* tag, HRESULT code) {
    if (code == E_OUTOFMEMORY) return TraceHttpOutOfMemory(&trace, 0, operation, tag);
    return TraceHttpError(&trace, 0, operation, tag, code);
}

bool QORHttpParseLength(const char* text, std::size_t length, std::uint64_t* out) {
    if (text == nullptr || out == nullptr) return false;
    std::size_t i = 0;
    while (i < length && IsBlank(text[i])) ++i;
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        const std::uint64_t digit = static_cast<std::uint64_t>(text[i] - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    while (i < length && IsBlank(text[i])) ++i;
    if (digits == 0 || i != length) return false;
    *out = value;
    return true;
}

HRESULT QORHttpResolveLocation(const std::string& requestUrl, const std::string& target, std::string* out,
                               const char** tag) {
    try {
        // An empty target would send the request round to itself until the depth runs out.
        if (target.empty()) {
            *tag = "(empty Location)";
            return 0x80072F78;
        }
        if (StartsWithNoCase(target, "http://") || StartsWithNoCase(target, "https://")) {
            *out = target;
            return 0;
        }
        const std::size_t scheme = requestUrl.find("://");
        if (scheme == std::string::npos) {
            *tag = "(no ://)";
            return E_INVALIDARG;
        }
        if (target.compare(0, 2, "//") == 0) {
            *out = requestUrl.substr(0, scheme + 1) + target;
            return 0;
        }
        // The authority ends at the first of "/?#": "http://h?a=/b" has no path, and its path is "/".
        std::size_t authorityEnd = requestUrl.find_first_of("/?#", scheme + 3);
        if (authorityEnd == std::string::npos) authorityEnd = requestUrl.size();
        const std::string origin = requestUrl.substr(0, authorityEnd);
        if (target[0] == '/') {
            *out = origin + target;
            return 0;
        }
        std::string path = "/";
        if (authorityEnd < requestUrl.size() && requestUrl[authorityEnd] == '/') {
            // Relative to the folder of the request path: the query and fragment are not part of it.
            std::size_t pathEnd = requestUrl.find_first_of("?#", authorityEnd);
            if (pathEnd == std::string::npos) pathEnd = requestUrl.size();
            path = requestUrl.substr(authorityEnd, pathEnd - authorityEnd);
        }
        if (target[0] == '?') {
            *out = origin + path + target;
            return 0;
        }
        *out = origin + path.substr(0, path.rfind('/') + 1) + target;
        return 0;
    } catch (const std::bad_alloc&) {
        *tag = "(Location)";
        return E_OUTOFMEMORY;
    }
}

std::string QORHttpMaskValue(const char* value, std::size_t length) {
    return ZYNSysMaskSecret(value, length).text;
}

std::string QORHttpMaskUrl(const char* url) {
    if (url == nullptr) return {};
    std::string text = url;
    static constexpr const char kTicket[] = "ticket=";
    for (std::size_t at = text.find(kTicket); at != std::string::npos; at = text.find(kTicket, at)) {
        if (at > 0 && text[at - 1] != '?' && text[at - 1] != '&') {
            at += sizeof kTicket - 1;
            continue;
        }
        const std::size_t start = at + sizeof kTicket - 1;
        std::size_t end = text.find_first_of("&#", start);
        if (end == std::string::npos) end = text.size();
        const std::string masked = QORHttpMaskValue(text.data() + start, end - start);
        text.replace(start, end - start, masked);
        at = start + masked.size();
    }
    return text;
}
