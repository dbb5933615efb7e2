#include "JsonEscape.h"

#include <array>

namespace JSON {

namespace {

// 0: copied as is; 'u': \u00XX; any other: \ and that letter.
constexpr std::array<char, 256> MakeEscapeTable() {
    std::array<char, 256> table{};
    for (int c = 0; c < 0x20; ++c) table[c] = 'u';
    table['\b'] = 'b';
    table['\f'] = 'f';
    table['\n'] = 'n';
    table['\r'] = 'r';
    table['\t'] = 't';
    table['"'] = '"';
    table['\\'] = '\\';
    return table;
}

constexpr std::array<char, 256> kEscape = MakeEscapeTable();

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The code unit of "\uXXXX" at raw[at], or -1.
long ReadUnit(std::string_view raw, std::size_t at) {
    if (at + 6 > raw.size() || raw[at] != '\\' || raw[at + 1] != 'u') return -1;
    long unit = 0;
    for (std::size_t i = at + 2; i < at + 6; ++i) {
        int digit = HexDigit(raw[i]);
        if (digit < 0) return -1;
        unit = unit * 16 + digit;
    }
    return unit;
}

void AppendUtf8(std::string& out, unsigned long cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

void EscapeTo(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char e = kEscape[static_cast<unsigned char>(text[i])];
        if (e == 0) continue;
        out.append(text.data() + run, i - run);
        run = i + 1;
        out.push_back('\\');
        if (e == 'u') {
            unsigned char c = static_cast<unsigned char>(text[i]);
            out.append("u00");
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        } else {
            out.push_back(e);
        }
    }
    out.append(text.data() + run, text.size() - run);
}

std::string UnescapeString(std::string raw) {
    std::size_t first = raw.find('\\');
    if (first == std::string::npos) return raw;

    std::string out(raw, 0, first);
    out.reserve(raw.size());
    std::string_view text(raw);
    std::size_t i = first;
    while (i < text.size()) {
        char c = text[i];
        if (c != '\\') {
            out.push_back(c);
            ++i;
            continue;
        }
        if (i + 1 == text.size()) break;  // a backslash at the very end writes nothing
        char next = text[i + 1];
        switch (next) {
            case '"': case '\\': case '/': out.push_back(next); i += 2; continue;
            case 'b': out.push_back('\b'); i += 2; continue;
            case 'f': out.push_back('\f'); i += 2; continue;
            case 'n': out.push_back('\n'); i += 2; continue;
            case 'r': out.push_back('\r'); i += 2; continue;
            case 't': out.push_back('\t'); i += 2; continue;
            default: break;
        }
        long unit = ReadUnit(text, i);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            long low = ReadUnit(text, i + 6);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((static_cast<unsigned long>(unit) - 0xD800) << 10) +
                                    (static_cast<unsigned long>(low) - 0xDC00));
                i += 12;
                continue;
            }
        } else if (unit >= 0 && !(unit >= 0xDC00 && unit <= 0xDFFF)) {
            AppendUtf8(out, static_cast<unsigned long>(unit));
            i += 6;
            continue;
        }
        // Not an escape this reader resolves: the backslash and what follows stay as written.
        out.push_back('\\');
        out.push_back(next);
        i += 2;
    }
    return out;
}

}  // namespace JSON
