#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>

#include "ToolBox.h"
#include "ZYNSysMaskSecret.h"

namespace {

bool IsSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

bool EqualsNoCase(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != lower[i]) return false;
    }
    return true;
}

// Client text in a log line: a CR or LF would begin a line that looks like the log's, a NUL
// ends the text where the debugger and the event log read it, ESC and the other control bytes
// drive a terminal that shows the console. Every byte below 0x20 but TAB, and DEL, is written
// as an escape: \r, \n and \0 by name, any other as \x and two upper-case hex digits (\x1B).
bool NeedsEscape(unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7F; }

void AppendEscaped(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::size_t from = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (!NeedsEscape(c)) continue;
        out.append(text.substr(from, at - from));
        switch (c) {
            case '\r': out.append("\\r"); break;
            case '\n': out.append("\\n"); break;
            case '\0': out.append("\\0"); break;
            default:
                out.append("\\x");
                out.push_back(kHex[c >> 4]);
                out.push_back(kHex[c & 0xF]);
                break;
        }
        from = at + 1;
    }
    out.append(text.substr(from));
}

// A "Cookie:" header's name, in any case ("Set-Cookie:" ends with it): where it begins.
std::size_t FindCookieHeader(std::string_view text, std::size_t from) {
    for (std::size_t colon = text.find(':', from + 6); colon != std::string_view::npos;
         colon = text.find(':', colon + 1)) {
        if (EqualsNoCase(text.substr(colon - 6, 6), "cookie")) return colon - 6;
    }
    return std::string_view::npos;
}

// The characters of a cookie's name: no blank, control character or separator.
bool IsCookieNameCharacter(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u != 0x7F && std::strchr("()<>@,;:\\\"/[]?={}", c) == nullptr;
}

// A plain value runs to a ';', a blank or control character, a quote, or the backslash of an
// escape in a JSON string. A ',' stays inside: more is hidden rather than less.
bool EndsCookieValue(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u <= 0x20 || u == 0x7F || c == ';' || c == '"' || c == '\\';
}

// The ticket's cookie may also stand in a URL's query, where a '&' ends it.
bool EndsTicketCookie(char c) {
    return c == ';' || c == '"' || c == '&' || IsSpace(c);
}

}  // namespace

// ---- text ----------------------------------------------------------------------------

bool ToolBox::StringToInt(const std::string& text, int& out, int base) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text.c_str(), &end, base);
    // Compared with the size, not with '\0': an embedded NUL must not end the text early.
    if (end == text.c_str() || end != text.c_str() + text.size()) return false;
    if (errno == ERANGE || value > INT_MAX || value < INT_MIN) return false;
    out = static_cast<int>(value);
    return true;
}

void ToolBox::Split(const std::string& text, const std::string& delimiter, std::vector<std::string>& out) {
    if (text.empty() || delimiter.empty()) {
        out.push_back(text);
        return;
    }
    std::size_t from = 0;
    for (std::size_t at = text.find(delimiter); at != std::string::npos; at = text.find(delimiter, from)) {
        out.push_back(text.substr(from, at - from));
        from = at + delimiter.size();
    }
    if (from < text.size()) out.push_back(text.substr(from));
}

std::string ToolBox::ReplaceAll(const std::string& text, const std::string& what, const std::string& with,
                                bool all) {
    if (what.empty() || text.empty()) return text;
    std::string result = text;
    for (std::size_t at = result.find(what); at != std::string::npos; at = result.find(what, at)) {
        result.replace(at, what.size(), with);
        at += with.size();
        if (!all) break;
    }
    return result;
}

std::string ToolBox::Trim(const std::string& text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && IsSpace(text[begin])) ++begin;
    while (end > begin && IsSpace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

std::string ToolBox::ToLower(const std::string& text) {
    std::string result = text;
    for (char& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return result;
}

std::string ToolBox::Join(const std::vector<std::string>& items, const std::string& separator) {
    std::string result;
    for (const std::string& item : items) {
        if (!result.empty()) result += separator;
        result += item;
    }
    return result;
}

std::wstring ToolBox::JoinWideArgs(const wchar_t* const* args, int count, const wchar_t* separator) {
    std::wstring result;
    if (!args) return result;
    for (int i = 0; i < count; ++i) {
        if (!result.empty() && separator) result += separator;
        if (args[i]) result += args[i];
    }
    return result;
}

std::string ToolBox::Surround(const std::string& text, const std::string& mark) {
    return mark + text + mark;
}

std::string ToolBox::MaskSecret(std::string_view secret) {
    return ZYNSysMaskSecret(secret).text;
}

std::string ToolBox::MaskSecretsInText(std::string_view text) {
    const std::size_t size = text.size();
    // A JSON string value after a member name: blanks and ':' first, then "value", which runs
    // to the next unescaped quote (or the end of the text).
    auto stringValue = [&](std::size_t p, std::size_t& start, std::size_t& end) {
        while (p < size && (IsSpace(text[p]) || text[p] == ':')) ++p;
        if (p >= size || text[p] != '"') return false;
        start = ++p;
        while (p < size && text[p] != '"') p += text[p] == '\\' ? 2 : 1;
        end = std::min(p, size);
        return true;
    };
    // The same inside a JSON text carried as a string: \"value\" after \"name\".
    auto escapedValue = [&](std::size_t p, std::size_t& start, std::size_t& end) {
        while (p < size && (IsSpace(text[p]) || text[p] == ':')) ++p;
        if (text.substr(p, 2) != "\\\"") return false;
        start = p + 2;
        end = std::min(text.find("\\\"", start), size);
        return true;
    };
    // A cookie's value after its '=': "value", \"value\" inside a JSON string, or plain up to
    // the first character that ends it.
    auto cookieValue = [&](std::size_t start, std::size_t& end, bool (*ends)(char)) {
        if (start < size && text[start] == '"') {
            end = std::min(text.find('"', ++start), size);
        } else if (text.substr(start, 2) == "\\\"") {
            start += 2;
            end = std::min(text.find("\\\"", start), size);
        } else {
            end = start;
            while (end < size && !ends(text[end])) ++end;
        }
        return start;
    };
    std::string out;
    out.reserve(size);
    std::size_t i = 0;
    auto keep = [&](std::size_t until) {
        AppendEscaped(out, text.substr(i, until - i));
        i = until;
    };
    // Each name is searched for again only once the text before it has been consumed: searching
    // both from every position went through the whole text again for every name found.
    std::size_t key = text.find("cCas");
    std::size_t cookie = text.find("CASTGC");
    std::size_t ticket = text.find("ticket=");
    std::size_t header = FindCookieHeader(text, 0);
    while (i < size) {
        if (key != std::string_view::npos && key < i) key = text.find("cCas", i);
        if (cookie != std::string_view::npos && cookie < i) cookie = text.find("CASTGC", i);
        if (ticket != std::string_view::npos && ticket < i) ticket = text.find("ticket=", i);
        if (header != std::string_view::npos && header < i) header = FindCookieHeader(text, i);
        std::size_t next = std::min({key, cookie, ticket, header});
        if (next == std::string_view::npos) break;
        if (next == header) {
            // A Cookie line's every name=value, a Set-Cookie line's cookie (its attributes stay).
            const bool oneCookie = header >= 4 && EqualsNoCase(text.substr(header - 4, 4), "set-");
            std::size_t p = header + 7;
            keep(p);
            for (;;) {
                while (p < size && (text[p] == ' ' || text[p] == '\t')) ++p;
                std::size_t equal = p;
                while (equal < size && IsCookieNameCharacter(text[equal])) ++equal;
                if (equal == p || equal >= size || text[equal] != '=') break;
                std::size_t end = 0;
                const std::size_t start = cookieValue(equal + 1, end, &EndsCookieValue);
                keep(start);
                out += MaskSecret(text.substr(start, end - start));
                i = end;
                if (oneCookie) break;
                p = end;
                if (p < size && text[p] == '"') ++p;
                else if (text.substr(p, 2) == "\\\"") p += 2;
                if (p >= size || text[p] != ';') break;
                ++p;
            }
            continue;
        }
        std::size_t start = 0, end = 0, after;
        bool found = false;
        if (next == ticket) {
            // A service ticket handed back in a URL's query: ?ticket=ST-... or &ticket=ST-...
            after = ticket + 7;
            if (ticket > 0 && (text[ticket - 1] == '?' || text[ticket - 1] == '&')) {
                start = after;
                end = start;
                while (end < size && text[end] != '&' && text[end] != '#' && text[end] != ';' && text[end] != '"' &&
                       !IsSpace(text[end]))
                    ++end;
                found = true;
            }
        } else if (next == key) {
            after = key + 4;
            const bool escaped = key >= 2 && text[key - 2] == '\\' && text[key - 1] == '"';
            const bool plain = !escaped && key >= 1 && text[key - 1] == '"';
            if (plain && after < size && text[after] == '"') {
                found = stringValue(after + 1, start, end);
            } else if (escaped && text.substr(after, 2) == "\\\"") {
                found = escapedValue(after + 2, start, end);
            }
        } else {
            after = cookie + 6;
            if (after < size && text[after] == '=') {
                // A cookie: CASTGC=value, CASTGC="value", or CASTGC=\"value\" inside a JSON string.
                found = true;
                start = cookieValue(after + 1, end, &EndsTicketCookie);
            } else if (after < size && text[after] == '"') {
                // A JSON member named after the cookie: "CASTGC":"value".
                found = stringValue(after + 1, start, end);
            }
        }
        if (!found) {
            keep(after);
            continue;
        }
        keep(start);
        out += MaskSecret(text.substr(start, end - start));
        i = end;
    }
    keep(size);
    return out;
}

// ---- conversions ---------------------------------------------------------------------

std::wstring ToolBox::Utf8ToWide(std::string_view text) {
    // Where texts meet the platform: never hand it the part before a NUL.
    if (text.empty() || text.size() > INT_MAX || HoldsNul(text)) return {};
    int length = static_cast<int>(text.size());
    int units = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (units <= 0) return {};
    std::wstring out(static_cast<std::size_t>(units), L'\0');
    units = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, out.data(), units);
    out.resize(units > 0 ? static_cast<std::size_t>(units) : 0);
    return out;
}

std::string ToolBox::WideToUtf8(std::wstring_view text) {
    if (text.empty() || text.size() > INT_MAX) return {};
    int length = static_cast<int>(text.size());
    int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string out(static_cast<std::size_t>(bytes), '\0');
    bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), bytes, nullptr, nullptr);
    out.resize(bytes > 0 ? static_cast<std::size_t>(bytes) : 0);
    return out;
}

SharedWString ToolBox::Utf8ToSharedWString(std::string_view text) {
    std::wstring wide = Utf8ToWide(text);
    SharedWString result;
    result.Assign(wide.data(), static_cast<std::int32_t>(wide.size()));
    return result;
}

SharedWString ToolBox::WideToSharedWString(std::wstring_view text) {
    SharedWString result;
    result.Assign(text.data(), static_cast<std::int32_t>(text.size()));
    return result;
}

std::string ToolBox::WideCStrToUtf8(const wchar_t* text) {
    return text ? WideToUtf8(text) : std::string();
}

std::wstring ToolBox::Utf8CStrToWide(const char* text) {
    return text ? Utf8ToWide(text) : std::wstring();
}

std::string ToolBox::CStrToString(const char* text) {
    return text ? std::string(text) : std::string("NULL");
}

std::string ToolBox::WCStrToString(const wchar_t* text) {
    return text ? WideToUtf8(text) : std::string("NULL");
}

// ---- fixed texts ---------------------------------------------------------------------

std::string ToolBox::HResultToString(HRESULT hr) {
    switch (static_cast<std::uint32_t>(hr)) {
        case 0x00000000: return "S_OK";
        case 0x00000001: return "S_FALSE";
        case 0x80070057: return "E_INVALIDARG";
        case 0x8007000E: return "E_OUTOFMEMORY";
        case 0x80004003: return "E_POINTER";
        case 0x80004005: return "E_FAIL";
        case 0x8000FFFF: return "E_UNEXPECTED";
        case 0x80070005: return "E_ACCESSDENIED";
        default: return "[Hresult<" + std::to_string(static_cast<std::int32_t>(hr)) + ">]";
    }
}

std::string ToolBox::GuidToString(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                  g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

std::string ToolBox::PointerToString(const void* pointer) {
    // By hand: this C runtime's %p prints lower case.
    static constexpr char kDigits[] = "0123456789ABCDEF";
    auto value = reinterpret_cast<std::uintptr_t>(pointer);
    std::string text(16, '0');
    for (int i = 15; i >= 0; --i, value >>= 4) text[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
    return text;
}
