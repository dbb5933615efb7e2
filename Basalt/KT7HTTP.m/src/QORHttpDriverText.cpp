// The driver base's text work: URL normalising, the user agent, header blocks, and the
// traces of data sent and received.

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <new>

#include "QORHttpDriver.h"
#include "QORHttpDriverSupport.h"
#include "ZYNSysTraceClient.h"

namespace {

constexpr const char* kCoalesce = "QORHttpDriver::CoalesceHeader";
// A pending header block never grows past this.
constexpr std::uint64_t kMaxHeaderBlock = 256 * 1024;
constexpr std::uint32_t kJoinSemicolon = 0x01000000;
constexpr std::uint32_t kJoinComma = 0x40000000;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(const char* text, const char* prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (Lower(*text) != *prefix) return false;
    }
    return true;
}

bool IsSecretHeader(const char* name, std::size_t length) {
    static constexpr const char* kNames[] = {"cookie", "set-cookie", "authorization", "proxy-authorization"};
    for (const char* secret : kNames) {
        if (std::strlen(secret) == length && _strnicmp(name, secret, length) == 0) return true;
    }
    return false;
}

// The line of block that begins with name (its colon included), or null.
const char* FindLine(const char* block, std::size_t blockLength, const char* name, std::size_t nameLength) {
    for (std::size_t at = 0; at + nameLength <= blockLength;) {
        if (std::strncmp(block + at, name, nameLength) == 0) return block + at;
        const char* next = static_cast<const char*>(std::memchr(block + at, '\n', blockLength - at));
        if (next == nullptr) break;
        at = static_cast<std::size_t>(next - block) + 1;
    }
    return nullptr;
}

}  // namespace

HRESULT QORHttpDriver::NormalizeUrl(char* url) {
    if (url == nullptr) return E_FAIL;
    const std::size_t length = std::strlen(url);
    if (length < 8) return E_FAIL;
    std::size_t host = 0;
    bool https = false;
    if (StartsWithNoCase(url, "https://")) {
        host = 8;
        https = true;
    } else if (StartsWithNoCase(url, "http://")) {
        host = 7;
    } else {
        return E_FAIL;
    }
    std::size_t end = host;
    for (; url[end] != '\0' && url[end] != ':' && url[end] != '/' && url[end] != '?' && url[end] != '#'; ++end) {
        url[end] = Lower(url[end]);
    }
    if (url[end] == ':') {
        std::size_t portEnd = end + 1;
        while (url[portEnd] >= '0' && url[portEnd] <= '9') ++portEnd;
        const char next = url[portEnd];
        if (next == '\0' || next == '/' || next == '?' || next == '#') {
            const std::string port(url + end + 1, portEnd - end - 1);
            if (port == (https ? "443" : "80")) std::memmove(url + end, url + portEnd, std::strlen(url + portEnd) + 1);
        }
    }
    if (char* request = std::strstr(url, "Sidl%20Request")) {
        request[4] = '+';
        std::memmove(request + 5, request + 7, std::strlen(request + 7) + 1);
    }
    return 0;
}

HRESULT QORHttpDriver::ManageUerAgent(const char* userAgent) {
    std::size_t length = userAgent != nullptr ? std::strlen(userAgent) : 0;
    while (length > 0 && std::strchr(" \t\r\n", userAgent[length - 1]) != nullptr) --length;
    try {
        if (length >= 2) {
            userAgent_.assign(userAgent, length);
        } else {
            userAgent_ = QORHTTP_DEFAULT_USER_AGENT;
        }
    } catch (const std::bad_alloc&) {
        return QORHttpDriverError(trace_, "QORHttpDriver::ManageUerAgent", "userAgent", E_OUTOFMEMORY);
    }
    return 0;
}

HRESULT QORHttpDriver::CoalesceHeader(const char* header, std::uint32_t flags, std::uint64_t* ioLength,
                                      char** ioBlock) {
    if (header == nullptr) return 0;
    if (ioBlock == nullptr || ioLength == nullptr) return QORHttpDriverError(trace_, kCoalesce, "ioBlock", E_INVALIDARG);
    const std::size_t headerLength = std::strlen(header);
    if (headerLength < 3 || header[headerLength - 2] != '\r' || header[headerLength - 1] != '\n') {
        return QORHttpDriverError(trace_, kCoalesce, "CRLF", E_INVALIDARG);
    }
    const char* separator = (flags & kJoinSemicolon) != 0 ? "; " : (flags & kJoinComma) != 0 ? ", " : nullptr;
    if (separator == nullptr) return QORHttpDriverError(trace_, kCoalesce, "flags", 0x80072EE9);
    std::string block;
    try {
        if (*ioBlock != nullptr) block.assign(*ioBlock, std::strlen(*ioBlock));
        // Several lines are merged one by one, each under its own name.
        for (std::size_t at = 0; at < headerLength;) {
            const std::size_t lineEnd = std::string_view(header, headerLength).find("\r\n", at);
            const std::string_view line(header + at, lineEnd + 2 - at);
            at = lineEnd + 2;
            const std::size_t colon = line.find(':');
            if (colon == std::string_view::npos || colon >= 127) {
                return QORHttpDriverError(trace_, kCoalesce, "no ':'", 0x80072F79);
            }
            const std::string name(line.substr(0, colon + 1));
            const char* existing = FindLine(block.data(), block.size(), name.c_str(), name.size());
            if (existing == nullptr) {
                block.append(line);
            } else {
                std::size_t value = colon + 1;
                if (value < line.size() && line[value] == ' ') ++value;
                const std::size_t position = static_cast<std::size_t>(existing - block.data());
                std::size_t crlf = block.find("\r\n", position);
                if (crlf == std::string::npos) crlf = block.size();
                block.insert(crlf, std::string(separator) + std::string(line.substr(value, line.size() - 2 - value)));
            }
            if (block.size() > kMaxHeaderBlock) return QORHttpDriverError(trace_, kCoalesce, "size", E_INVALIDARG);
        }
    } catch (const std::bad_alloc&) {
        return QORHttpDriverError(trace_, kCoalesce, "block", E_OUTOFMEMORY);
    }
    char* merged = static_cast<char*>(std::malloc(block.size() + 1));
    if (merged == nullptr) return QORHttpDriverError(trace_, kCoalesce, "block", E_OUTOFMEMORY);
    std::memcpy(merged, block.c_str(), block.size() + 1);
    std::free(*ioBlock);
    *ioBlock = merged;
    *ioLength = block.size();
    return 0;
}

HRESULT QORHttpDriver::AddPendingHeaders(const char* headers, std::uint32_t flags) {
    char* block = pendingHeaders_.Take();
    const HRESULT result = CoalesceHeader(headers, flags, &pendingHeadersLength_, &block);
    pendingHeaders_.Reset(block);
    return result;
}

HRESULT QORHttpDriver::ComputeTrace(const char* data, std::uint64_t length, std::string* out) {
    if (out == nullptr || (data == nullptr && length != 0)) return E_INVALIDARG;
    try {
        out->clear();
        char hex[8];
        for (std::uint64_t i = 0; i < length; ++i) {
            const unsigned char c = static_cast<unsigned char>(data[i]);
            if (c >= 32 && c <= 126) {
                out->push_back(static_cast<char>(c));
            } else {
                std::snprintf(hex, sizeof hex, "[%02X]", c);
                out->append(hex);
            }
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (trace_ != nullptr) ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpDriver::ComputeTrace (%s)", out->c_str());
    return 0;
}

void QORHttpDriver::Trace(const char* data, std::uint64_t length, std::uint32_t isText) {
    if (trace_ == nullptr || !trace_->IsActive() || data == nullptr) return;
    try {
        if (isText == 0) {
            ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpDriver::Trace (RECEIVE : %d octets)", static_cast<int>(length));
            std::string printable;
            if (length <= 100) {
                ComputeTrace(data, length, &printable);
            } else {
                ComputeTrace(data, 50, &printable);
                ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpDriver::Trace ....");
                ComputeTrace(data + length - 50, 50, &printable);
            }
            return;
        }
        ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpDriver::Trace (RECEIVE: %d)", static_cast<int>(length));
        const std::string text = MaskSecretHeaders(data, static_cast<std::size_t>(length));
        for (std::size_t at = 0; at < text.size(); at += 511) {
            const std::string line = text.substr(at, 511);
            ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpDriver::Trace (%s)", line.c_str());
        }
    } catch (const std::bad_alloc&) {
        // A trace that cannot be made is left out.
    }
}

std::string QORHttpDriver::MaskSecretHeaders(const char* text, std::size_t length) {
    std::string out;
    if (text == nullptr) return out;
    out.reserve(length);
    for (std::size_t at = 0; at < length;) {
        const char* newline = static_cast<const char*>(std::memchr(text + at, '\n', length - at));
        const std::size_t lineEnd = newline != nullptr ? static_cast<std::size_t>(newline - text) + 1 : length;
        std::size_t valueEnd = lineEnd;
        while (valueEnd > at && (text[valueEnd - 1] == '\n' || text[valueEnd - 1] == '\r')) --valueEnd;
        const char* colon = static_cast<const char*>(std::memchr(text + at, ':', valueEnd - at));
        if (colon != nullptr && IsSecretHeader(text + at, static_cast<std::size_t>(colon - (text + at)))) {
            std::size_t value = static_cast<std::size_t>(colon - text) + 1;
            while (value < valueEnd && text[value] == ' ') ++value;
            out.append(text + at, value - at);
            out.append(QORHttpMaskValue(text + value, valueEnd - value));
            out.append(text + valueEnd, lineEnd - valueEnd);
        } else {
            out.append(text + at, lineEnd - at);
        }
        at = lineEnd;
    }
    return out;
}
