// The request routine of the driver base: one request through the transport's primitive
// operations, the analysis of its response, its cookies, its body, its redirect and
// authentication rounds; and the body readers built on the transport's reads.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "QORHttpCookie.h"
#include "QORHttpDriver.h"
#include "QORHttpDriverSupport.h"
#include "QORHttpTools.h"
#include "ZYNSysTraceClient.h"

namespace {

constexpr const char* kSendData = "QORHttpDriver::HttpSendDataEx";
constexpr const char* kAfterSend = "QORHttpDriver::AfterSend";
constexpr const char* kAnalyse = "QORHttpDriver::AnalyseResponse";
constexpr const char* kGetBody = "QORHttpDriver::GetBody";
constexpr const char* kDownload = "QORHttpDriver::Download";
constexpr const char* kDownloadEx = "QORHttpDriver::DownloadEx";

// A response head longer than this is refused as malformed.
constexpr std::size_t kMaxHead = 256 * 1024;
// Set-Cookie headers read from one response at most.
constexpr std::uint32_t kMaxCookies = 256;

const char* ContentTypeHeader(std::uint32_t contentType) {
    switch (contentType) {
        case QORHTTP_CONTENT_FORM: return "Content-Type: application/x-www-form-urlencoded\r\n";
        case QORHTTP_CONTENT_HTML: return "Content-Type: text/HTML\r\n";
        case QORHTTP_CONTENT_XML: return "Content-Type: text/xml\r\n";
        case QORHTTP_CONTENT_XML_UTF8: return "Content-Type: text/xml;charset=utf-8\r\n";
        case QORHTTP_CONTENT_OCTETS: return "Content-Type: application/octetstream\r\n";
        case QORHTTP_CONTENT_NONE:
        case QORHTTP_CONTENT_NO_HEADER: return nullptr;
        default: return "Content-Type: text/plain\r\n";
    }
}

// A header's value in a head whose names are lower case: the text after "name: " up to the
// line's end, looked for at the start of a line only (a value may contain another name).
struct HeaderValue {
    const char* text = nullptr;
    std::size_t length = 0;
    bool endsWithCrLf = false;
};

HeaderValue FindHeader(const char* head, const char* nameWithColon) {
    HeaderValue found;
    const std::size_t nameLength = std::strlen(nameWithColon);
    for (const char* line = std::strchr(head, '\n'); line != nullptr; line = std::strchr(line, '\n')) {
        ++line;
        if (std::strncmp(line, nameWithColon, nameLength) != 0) continue;
        found.text = line + nameLength;
        const char* end = found.text;
        while (*end != '\0' && *end != '\r' && *end != '\n') ++end;
        found.length = static_cast<std::size_t>(end - found.text);
        found.endsWithCrLf = end[0] == '\r' && end[1] == '\n';
        return found;
    }
    return found;
}

bool ContainsWord(const char* text, std::size_t length, const char* word) {
    const std::size_t n = std::strlen(word);
    for (std::size_t i = 0; i + n <= length; ++i) {
        if (_strnicmp(text + i, word, n) == 0) return true;
    }
    return false;
}

// Reads a decimal number of at most 9 digits at *p; false when there is none.
bool ReadNumber(const char*& p, std::uint32_t* out) {
    std::uint32_t value = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9' && digits < 9) {
        value = value * 10 + static_cast<std::uint32_t>(*p - '0');
        ++p;
        ++digits;
    }
    if (digits == 0 || (*p >= '0' && *p <= '9')) return false;
    *out = value;
    return true;
}

}  // namespace

HRESULT QORHttpDriver::HttpSendDataEx(const char* verb, const char* url, std::uint32_t flags,
                                      const char* extraHeaders, const char* data, std::uint64_t length,
                                      std::uint32_t contentType, std::uint32_t* outKeepAlive, char** outBody,
                                      std::uint64_t* outLength, QORHttpStreamer* streamer, std::uint32_t depth) {
    connectionClosed_ = 0;
    if (trace_ != nullptr) {
        ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpDriver::HttpSendDataEx url=<%s>", QORHttpMaskUrl(url).c_str());
    }
    // Every failure before the response ends the whole request at the top level.
    auto fail = [&](HRESULT code) {
        if (depth == 0) {
            FreePendingHeaders();
            OnRequestEnd(0);
        }
        return code;
    };
    if (verb == nullptr || url == nullptr || (streamer != nullptr && data != nullptr) ||
        (contentType == QORHTTP_CONTENT_NONE && (data != nullptr || length != 0))) {
        return fail(QORHttpDriverError(trace_, kSendData, "E_INVALIDARG", E_INVALIDARG));
    }
    if (outBody != nullptr) {
        std::free(*outBody);
        *outBody = nullptr;
    }
    if (outLength != nullptr) *outLength = 0;
    const char* contentTypeHeader = ContentTypeHeader(contentType);
    const std::uint32_t hasBody = contentType == QORHTTP_CONTENT_NONE ? 0 : 1;

    std::string requestUrl;
    try {
        requestUrl = url;
    } catch (const std::bad_alloc&) {
        return fail(QORHttpDriverError(trace_, kSendData, "url", E_OUTOFMEMORY));
    }
    if (NormalizeUrl(requestUrl.data()) != 0) {
        return fail(QORHttpDriverError(trace_, kSendData, "NormalizeUrl", E_INVALIDARG));
    }
    requestUrl.resize(std::strlen(requestUrl.c_str()));
    isHead_ = std::strcmp(verb, "HEAD") == 0 ? 1 : 0;
    if (depth == 0) {
        retrying_ = 0;
        OnRequestStart();
    }
    downloadState_ = -2;
    try {
        currentUrl_ = requestUrl;
    } catch (const std::bad_alloc&) {
        return fail(QORHttpDriverError(trace_, kSendData, "url", E_OUTOFMEMORY));
    }

    HRESULT result = OpenRequest(verb, requestUrl.c_str(), flags, nullptr);
    if (result == 0 && contentTypeHeader != nullptr) result = AddRequestHeaders(contentTypeHeader, 0x40000000);
    if (result == 0 && extraHeaders != nullptr) result = AddRequestHeaders(extraHeaders, 0x40000000);
    if (result != 0) return fail(QORHttpDriverError(trace_, kSendData, "OpenRequest", result));

    result = streamer != nullptr ? SendRequest(streamer, 0) : SendRequest(data, length, hasBody);
    if (result != 0) return fail(QORHttpDriverError(trace_, kSendData, "SendRequest", result));
    result = CloseRequest();
    if (result != 0) return fail(QORHttpDriverError(trace_, kSendData, "CloseRequest", result));

    std::uint32_t status = 0;
    std::string redirect;
    // No authentication dialogs after three attempts.
    const std::uint32_t afterFlags = depth >= 3 ? flags | QORHTTP_FLAG_NO_AUTH : flags;
    result = AfterSend(requestUrl.c_str(), verb, &status, afterFlags, &redirect, outBody, outLength, outKeepAlive);
    if (trace_ != nullptr) {
        ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpDriver::HttpSendDataEx verb=<%s>, httprc=<%i>, flags=<%x>",
                                      verb, static_cast<int>(status), flags);
    }
    if (result != 0) return fail(QORHttpDriverError(trace_, kSendData, "(AnalyseResponse)", result));
    if (!redirect.empty()) {
        try {
            currentUrl_ = redirect;
        } catch (const std::bad_alloc&) {
            return fail(QORHttpDriverError(trace_, kSendData, "redirect", E_OUTOFMEMORY));
        }
    }

    const bool authentication = status == 401 || status == 407;
    const bool redirection = (flags & QORHTTP_FLAG_NO_AUTO_REDIRECT) == 0 && status >= 300 && status <= 399;
    if (depth < kMaxDepth && (authentication || redirection)) {
        retrying_ = 1;
        // The same body goes to the next round: a streamed one from its start.
        if (streamer != nullptr) {
            const HRESULT rewound = streamer->Rewind();
            if (rewound != 0) return fail(QORHttpDriverError(trace_, kSendData, "Rewind", rewound));
        }
        const std::string next = redirect.empty() ? requestUrl : redirect;
        const HRESULT retried = HttpSendDataEx(verb, next.c_str(), flags, extraHeaders, data, length, contentType,
                                               outKeepAlive, outBody, outLength, streamer, depth + 1);
        if (retried != 0 && depth == 0) FreePendingHeaders();
        return retried;
    }

    FreePendingHeaders();
    if (status < 200 || status > 299) {
        const bool keptRedirect = (flags & QORHTTP_FLAG_NO_AUTO_REDIRECT) != 0 && status >= 300 && status <= 399;
        result = keptRedirect ? 0 : -static_cast<HRESULT>(status);
    }
    if (result == 0 || keepErrorBody_ != 0) {
        OnRequestEnd(1);
    } else if (depth == 0) {
        OnRequestEnd(0);
    }
    if (result != 0 && keepErrorBody_ == 0) {
        if (outBody != nullptr) {
            std::free(*outBody);
            *outBody = nullptr;
        }
        if (outLength != nullptr) *outLength = 0;
    }
    return result;
}

HRESULT QORHttpDriver::AfterSend(const char* url, const char* verb, std::uint32_t* outStatus, std::uint32_t flags,
                                 std::string* outRedirect, char** outBody, std::uint64_t* outLength,
                                 std::uint32_t* outKeepAlive) {
    if (trace_ != nullptr) {
        ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpDriver::AfterSend url=<%s> verb=<%s>, httprc=<%i>, flags=<%x>",
                                      QORHttpMaskUrl(url).c_str(), verb, static_cast<int>(*outStatus), flags);
    }
    QORHttpHeapText head;
    std::uint32_t headLength = 0;
    std::uint32_t index = 0;
    HRESULT result = GetResponseHeaders(head.Put(), &headLength, &index, 22, nullptr);
    if (result != 0) return QORHttpDriverError(trace_, kAfterSend, "GetResponseHeaders", result);
    if (head.Get() == nullptr || std::strlen(head.Get()) > kMaxHead) {
        return QORHttpDriverError(trace_, kAfterSend, "(head size)", -7);
    }

    QORHttpResponseInfo info;
    result = AnalyseResponse(url, verb, head.Get(), flags & ~0x10000u, &info);
    *outStatus = info.status;
    if (result != 0) return result;
    if (outKeepAlive != nullptr) *outKeepAlive = info.keepAlive;
    try {
        *outRedirect = info.redirect;
    } catch (const std::bad_alloc&) {
        return QORHttpDriverError(trace_, kAfterSend, "redirect", E_OUTOFMEMORY);
    }

    const char type = GetType();
    const bool sharedTransport = type == 'W' || type == 'A' || type == 'M';
    if (!sharedTransport && info.hasBody == 0 && info.keepAlive == 0) CloseConnection();

    if (type != 'Z') {
        const std::uint32_t mode = sharedTransport ? 3 : 2;
        index = 0;
        for (std::uint32_t n = 0; n < kMaxCookies; ++n) {
            QORHttpHeapText cookie;
            std::uint32_t cookieLength = 0;
            const std::uint32_t before = index;
            if (GetResponseHeaders(cookie.Put(), &cookieLength, &index, 43, nullptr) != 0) break;
            const HRESULT stored = StoreCookie(url, cookie.Get(), mode);
            if (stored != 0 && !sharedTransport) return QORHttpDriverError(trace_, kAfterSend, "SetCookie", stored);
            if (index == before) break;  // a transport that does not move on would loop forever
        }
    }

    if (info.status != 401 && info.status != 407 && info.hasBody != 0 && bodyMode_ == 1 && outBody != nullptr) {
        std::uint64_t length = info.chunked != 0 || info.encoded ? 0 : info.contentLength;
        result = GetBody(info.chunked, &length, outBody);
        if (result != 0) return result;
        if (*outBody != nullptr) Trace(*outBody, length, info.isText);
        if (outLength != nullptr) *outLength = length;
    }
    return 0;
}

HRESULT QORHttpDriver::AnalyseResponse(const char* url, const char* verb, char* head, std::uint32_t flags,
                                       QORHttpResponseInfo* out) {
    if (head == nullptr || out == nullptr) return QORHttpDriverError(trace_, kAnalyse, "(iResponse)", E_INVALIDARG);
    *out = QORHttpResponseInfo{};
    HeaderToLower(head);
    if (std::strncmp(head, "HTTP/", 5) != 0) return QORHttpDriverError(trace_, kAnalyse, "(HTTP/)", -7);
    if (std::strlen(head) < 7 || head[6] != '.') return QORHttpDriverError(trace_, kAnalyse, "(lDupResp)", -7);
    const char* p = head + 5;
    std::uint32_t major = 0;
    std::uint32_t status = 0;
    bool read = ReadNumber(p, &major) && *p++ == '.' && ReadNumber(p, &out->minorVersion);
    if (read) {
        while (*p == ' ') ++p;
        read = ReadNumber(p, &status);
    }
    if (!read || major == 0 || status == 0 || status > 999) {
        return QORHttpDriverError(trace_, kAnalyse, "(version|HttpRC)", -7);
    }
    out->status = status;

    const HeaderValue connection = FindHeader(head, "connection: ");
    if (connection.text != nullptr && connection.length == 5 &&
        (std::strncmp(connection.text, "Close", 5) == 0 || std::strncmp(connection.text, "close", 5) == 0)) {
        out->keepAlive = 0;
        connectionClosed_ = 1;
        if (trace_ != nullptr) ZYNSysTraceClient::InfoPrintf(trace_, "\t%s (Connection Close)", kAnalyse);
    }

    if ((flags & QORHTTP_FLAG_NO_AUTH) == 0 &&
        ((status == 407 && (flags & QORHTTP_FLAG_SKIP_PROXY_AUTH) == 0) ||
         (status == 401 && (flags & QORHTTP_FLAG_SKIP_SERVER_AUTH) == 0))) {
        const HRESULT authenticated = Authenticate(url, status, head);
        if (authenticated != 0) return QORHttpDriverError(trace_, kAnalyse, "(proxy|serveur)", authenticated);
    }

    if (status == 204 || status == 304 || (verb != nullptr && std::strcmp(verb, "HEAD") == 0)) out->hasBody = 0;

    if (status >= 300 && status <= 399) {
        const HeaderValue location = FindHeader(head, "location: ");
        if (location.text == nullptr) return QORHttpDriverError(trace_, kAnalyse, "(no Location)", 0x80072F78);
        if (!location.endsWithCrLf) return QORHttpDriverError(trace_, kAnalyse, "(no Location CRLF)", 0x80072F78);
        const char* tag = "";
        const HRESULT resolved = QORHttpResolveLocation(url != nullptr ? url : "",
                                                        std::string(location.text, location.length),
                                                        &out->redirect, &tag);
        if (resolved != 0) return QORHttpDriverError(trace_, kAnalyse, tag, resolved);
    }

    const HeaderValue contentType = FindHeader(head, "content-type: ");
    if (contentType.text != nullptr && std::strncmp(contentType.text, "text/", 5) == 0) out->isText = 1;

    out->encoded = FindHeader(head, "content-encoding: ").text != nullptr;
    const HeaderValue contentLength = FindHeader(head, "content-length: ");
    if (contentLength.text != nullptr) {
        // Digits only: "-1" read as an unsigned number would announce 2^64-1 bytes.
        if (!QORHttpParseLength(contentLength.text, contentLength.length, &out->contentLength)) {
            return QORHttpDriverError(trace_, kAnalyse, "(Content-Length)", -7);
        }
        out->hasContentLength = true;
        if (out->contentLength == 0) out->hasBody = 0;
    } else if (status >= 200 && status <= 599) {
        const HeaderValue encoding = FindHeader(head, "transfer-encoding: ");
        if (encoding.text != nullptr) {
            if (!encoding.endsWithCrLf) return QORHttpDriverError(trace_, kAnalyse, "(TRANSENCODING)", -7);
            if (ContainsWord(encoding.text, encoding.length, "chunked")) {
                out->chunked = 1;
                out->contentLength = 0;
            }
        }
    }
    return 0;
}

HRESULT QORHttpDriver::GetBody(std::uint32_t flags, std::uint64_t* ioLength, char** outBody) {
    if (ioLength == nullptr || outBody == nullptr) return QORHttpDriverError(trace_, kGetBody, "E_INVALIDARG", E_INVALIDARG);
    *outBody = nullptr;
    const std::uint64_t expected = *ioLength;
    *ioLength = 0;
    // In memory only up to the cap: capacity + 1 must not wrap, nor the heap be asked for
    // what a server merely announced.
    if (expected > kMaxBodyInMemory) return QORHttpDriverError(trace_, kGetBody, "Content-Length above the cap", -7);
    std::uint64_t capacity = expected != 0 ? expected : 65535;
    QORHttpHeapText body(static_cast<char*>(std::malloc(capacity + 1)));
    if (!body) return QORHttpDriverError(trace_, kGetBody, "malloc", E_OUTOFMEMORY);
    std::uint64_t length = 0;
    for (;;) {
        std::uint32_t available = 0;
        // A failed query is a failure, not the end of the body: a time-out inside a chunked
        // or close-delimited body would otherwise read as a complete one.
        if (QXInternetQueryDataAvailable(&available) != 0) return QORHttpDriverError(trace_, kGetBody, "(NODATA)", -8);
        if (available == 0) break;
        const std::uint64_t needed = length + available;
        if (needed > kMaxBodyInMemory) return QORHttpDriverError(trace_, kGetBody, "body above the cap", -7);
        if (needed > capacity) {
            const std::uint64_t grown = std::min(std::max(needed, 2 * capacity), kMaxBodyInMemory);
            char* larger = static_cast<char*>(std::realloc(body.Get(), grown + 1));
            if (larger == nullptr) return QORHttpDriverError(trace_, kGetBody, "realloc", E_OUTOFMEMORY);
            (void)body.Take();
            body.Reset(larger);
            capacity = grown;
        }
        TellPerfo(Perfo::BodyReadStart);
        std::uint32_t got = 0;
        const std::uint64_t before = length;
        const HRESULT read = QXInternetReadFile(&length, body.Get(), available, &got);
        TellPerfo(Perfo::BodyReadEnd);
        if (read != 0) return QORHttpDriverError(trace_, kGetBody, "(READ)", -8);
        if (length != before + got || length > capacity) return QORHttpDriverError(trace_, kGetBody, "(READ)", -8);
        if (got == 0 || (flags & QORHTTP_FLAG_ONE_PIECE) != 0) break;
    }
    if (length == 0) {
        body.Reset();
    } else {
        body.Get()[length] = '\0';
    }
    if (expected != 0 && expected != length) {
        return QORHttpDriverError(trace_, kGetBody, "LenResponse != Size", -4);
    }
    *ioLength = length;
    *outBody = body.Take();
    return 0;
}

HRESULT QORHttpDriver::QueryHeaderText(std::uint32_t query, QORHttpHeapText* out) {
    std::uint32_t length = 0;
    std::uint32_t index = 0;
    return GetResponseHeaders(out->Put(), &length, &index, query, nullptr);
}

HRESULT QORHttpDriver::Download(std::uint64_t* ioLength, char** outBody) {
    if (ioLength == nullptr || outBody == nullptr) return QORHttpDriverError(trace_, kDownload, "E_INVALIDARG", E_INVALIDARG);
    QORHttpHeapText encoding;
    std::uint32_t chunked = 0;
    if (QueryHeaderText(63, &encoding) == 0 && encoding.Get() != nullptr &&
        ContainsWord(encoding.Get(), std::strlen(encoding.Get()), "chunked")) {
        chunked = 1;
    }
    *ioLength = 0;
    if (chunked == 0) {
        QORHttpHeapText length;
        if (QueryHeaderText(5, &length) == 0 && length.Get() != nullptr &&
            !QORHttpParseLength(length.Get(), std::strlen(length.Get()), ioLength)) {
            return QORHttpDriverError(trace_, kDownload, "Content-Length", -7);
        }
    }
    return GetBody(chunked, ioLength, outBody);
}

HRESULT QORHttpDriver::DownloadEx(std::uint32_t flags, std::uint64_t* ioLength, char** ioBody,
                                  std::uint32_t* ioDone) {
    HRESULT result = 0;
    if (ioLength == nullptr || ioBody == nullptr || ioDone == nullptr || *ioDone == 1) {
        result = QORHttpDriverError(trace_, kDownloadEx, "E_INVALIDARG", E_INVALIDARG);
    } else {
        std::free(*ioBody);
        *ioBody = nullptr;
        if (downloadState_ == -2) {
            downloadExpected_ = 0;
            downloadReceived_ = 0;
            QORHttpHeapText encoding;
            if (QueryHeaderText(63, &encoding) == 0 && encoding.Get() != nullptr &&
                ContainsWord(encoding.Get(), std::strlen(encoding.Get()), "chunked")) {
                downloadState_ = -1;
            } else {
                QORHttpHeapText text;
                std::uint64_t length = 0;
                if (QueryHeaderText(5, &text) == 0 && text.Get() != nullptr &&
                    QORHttpParseLength(text.Get(), std::strlen(text.Get()), &length) && length <= INT64_MAX) {
                    downloadState_ = static_cast<std::int64_t>(length);
                    downloadExpected_ = length;
                } else {
                    downloadState_ = -4;
                }
            }
        }
        if (downloadState_ == -1) {
            *ioLength = 0;
            result = GetBody(flags | 1, ioLength, ioBody);
            if (result == 0 && *ioLength == 0) *ioDone = 1;
        } else if ((flags & QORHTTP_FLAG_ONE_PIECE) == 0) {
            *ioLength = downloadState_ >= 0 ? downloadExpected_ : 0;
            result = GetBody(flags, ioLength, ioBody);
            if (result == 0) {
                downloadReceived_ = *ioLength;
                *ioDone = 1;
            }
        } else {
            *ioLength = 0;
            result = GetBody(flags, ioLength, ioBody);
            if (result == 0) {
                downloadReceived_ += *ioLength;
                const bool known = downloadState_ >= 0;
                if (known && downloadReceived_ > downloadExpected_) {
                    ResetRequest();
                    *ioDone = 1;
                    result = QORHttpDriverError(trace_, kDownloadEx, "body longer than announced",
                                                static_cast<HRESULT>(0x80080011));
                } else if (*ioLength == 0 && known && downloadReceived_ < downloadExpected_) {
                    // The body ended before its announced length: an answer cut short, not done.
                    result = QORHttpDriverError(trace_, kDownloadEx, "LenResponse != Size", -4);
                } else if (*ioLength == 0 || (known && downloadReceived_ == downloadExpected_)) {
                    *ioDone = 1;
                }
            }
        }
        if (*ioDone == 1) {
            TellPerfo(Perfo::DownloadEnd);
            if ((flags & QORHTTP_FLAG_ONE_PIECE) != 0 && downloadState_ != -2 && connectionClosed_ != 0) {
                CloseConnection();
            }
        }
    }
    if (trace_ != nullptr) {
        ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpDriver::DownloadEx (Error 0x%x)", static_cast<unsigned>(result));
    }
    return result;
}

HRESULT QORHttpDriver::StoreCookie(const char* url, const char* line, std::uint32_t mode) {
    return QORSysSetCookie(url, line, mode);
}
