#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "QORHttpTools.h"

namespace {

struct FreeText {
    void operator()(char* text) const { std::free(text); }
};

std::string Hex(HRESULT hr) {
    char text[32];
    std::snprintf(text, sizeof text, "<error 0x%lx>", static_cast<unsigned long>(hr));
    return text;
}

// The coded text, "<unset>" when none was made, or "<error 0x...>".
std::string Code(const std::string& url, std::uint32_t mode) {
    char* out = nullptr;
    const HRESULT hr = QORSysCodeUrl(url.c_str(), &out, mode);
    const std::unique_ptr<char, FreeText> owned(out);
    if (hr != 0) return Hex(hr);
    return out != nullptr ? std::string(out) : "<unset>";
}

constexpr std::uint32_t kDefault = QORHTTP_URL_DEFAULT_MODE;

TEST(QORSysCodeUrl, EncodesPathQueryAndFragmentByMode) {
    struct Case {
        const char* name;
        std::string url;
        std::uint32_t mode;
        std::string expected;
    };
    const Case cases[] = {
        {"blanks in path and query", "http://h/a b?c d", kDefault, "http://h/a%20b?c%20d"},
        {"ampersand stays in the query", "http://h/p?a=1&b=2", kDefault, "http://h/p?a=1&b=2"},
        {"reserved characters too", "http://h/p?a=1&b=2", kDefault | 0x8, "http://h/p?a%3D1%26b%3D2"},
        {"query byte 0xE9", "http://h/p?\xE9", kDefault, "http://h/p?%E9"},
        {"query byte 0x07", "http://h/p?\x07", kDefault, "http://h/p?%07"},
        {"path byte 0xE9 copied", "http://h/\xE9", kDefault, "http://h/\xE9"},
        {"path specials", "http://h/\"<>@[\\]^`{|}~;:&", kDefault,
         "http://h/%22%3C%3E%40%5B%5C%5D%5E%60%7B%7C%7D%7E%3B%3A%26"},
        {"CR LF in the path", "http://h/a\r\nHost: x", kDefault, "http://h/a%0D%0AHost%3A%20x"},
        {"DEL and a tab in the path", "http://h/\x7F\t", kDefault, "http://h/%7F%09"},
        {"an encoded path stays", "http://h/My%20Doc", kDefault, "http://h/My%20Doc"},
        {"letters after an escape", "http://h/%41%c3%a9", kDefault, "http://h/%41%c3%a9"},
        {"a lone percent", "http://h/50%", kDefault, "http://h/50%25"},
        {"a percent and one digit", "http://h/a%4", kDefault, "http://h/a%254"},
        {"a percent and no hex", "http://h/%zz", kDefault, "http://h/%25zz"},
        {"path left without 0x1", "http://h/a b?c d", 0x80000006u, "http://h/a b?c%20d"},
        {"fragment encoded with 0x4", "http://h/p#a b", kDefault, "http://h/p#a%20b"},
        {"fragment copied without 0x4", "http://h/p?q r#a b", 0x80000003u, "http://h/p?q%20r#a b"},
        {"a question mark in the fragment", "http://h/p#x?y", kDefault, "http://h/p#x%3Fy"},
        {"no path: the query is encoded", "http://h?x=1\r\nX: y", kDefault, "http://h?x=1%0D%0AX%3A%20y"},
        {"no path: the fragment is encoded", "http://h#a b", kDefault, "http://h#a%20b"},
        {"no path and nothing after the host", "http://h", kDefault, "http://h"},
        {"secure scheme", "https://h/a b", kDefault, "https://h/a%20b"},
        {"websocket scheme", "ws://h/a b", kDefault, "ws://h/a%20b"},
        {"host kept", "http://A B/", kDefault, "http://A B/"},
        {"another scheme", "ftp://h/a", kDefault, Hex(E_INVALIDARG)},
        {"mode without top bit", "http://h/a b", 0x1, "<unset>"},
    };
    for (const Case& c : cases) EXPECT_EQ(Code(c.url, c.mode), c.expected) << c.name;
}

TEST(QORSysCodeUrl, DecodesPlusAndEscapesAndRefusesBrokenOnes) {
    struct Case {
        const char* name;
        std::string url;
        std::string expected;
    };
    const Case cases[] = {
        {"plus and %41", "http://h/a+b%41", "http://h/a bA"},
        {"lower-case digits", "http://h/%c3%A9", "http://h/\xC3\xA9"},
        {"one character after the percent", "http://h/%4", Hex(E_FAIL)},
        {"a percent at the end", "http://h/%", Hex(E_FAIL)},
        {"letters that are not digits", "http://h/%zz", Hex(E_FAIL)},
        {"one digit then a letter", "http://h/%4g/x", Hex(E_FAIL)},
        {"another scheme", "file://h/%41", Hex(E_INVALIDARG)},
    };
    for (const Case& c : cases) EXPECT_EQ(Code(c.url, QORHTTP_URL_DECODE), c.expected) << c.name;
}

TEST(QORSysCodeUrl, RefusesNullArguments) {
    char* out = nullptr;
    EXPECT_EQ(QORSysCodeUrl(nullptr, &out, kDefault), E_INVALIDARG);
    EXPECT_EQ(QORSysCodeUrl("http://h/", nullptr, kDefault), E_INVALIDARG);
    EXPECT_EQ(out, nullptr);
}

// Every component asked for, pointed at inside the url: "scheme|kind|user|password|host|port|path|extra".
std::string Crack(const std::string& url, DWORD length = 0) {
    URL_COMPONENTSA c{};
    c.dwStructSize = sizeof c;
    c.dwSchemeLength = c.dwHostNameLength = c.dwUserNameLength = c.dwPasswordLength = 1;
    c.dwUrlPathLength = c.dwExtraInfoLength = 1;
    const HRESULT hr = QORSysCrackUrl(url.c_str(), length, 0, &c);
    if (hr != 0) return Hex(hr);
    auto part = [](const char* p, DWORD n) { return p != nullptr ? std::string(p, n) : std::string("<null>"); };
    return part(c.lpszScheme, c.dwSchemeLength) + "|" + std::to_string(static_cast<int>(c.nScheme)) + "|" +
           part(c.lpszUserName, c.dwUserNameLength) + "|" + part(c.lpszPassword, c.dwPasswordLength) + "|" +
           part(c.lpszHostName, c.dwHostNameLength) + "|" + std::to_string(c.nPort) + "|" +
           part(c.lpszUrlPath, c.dwUrlPathLength) + "|" + part(c.lpszExtraInfo, c.dwExtraInfoLength);
}

TEST(QORSysCrackUrl, SplitsUrlsIntoComponents) {
    struct Case {
        const char* name;
        std::string url;
        std::string expected;
    };
    const Case cases[] = {
        {"plain", "http://h.example/a/b", "http://|3|||h.example|80|/a/b|"},
        {"secure with query", "https://h/p?q=1#f", "https://|4|||h|443|/p|?q=1#f"},
        {"fragment only", "http://h/p#f", "http://|3|||h|80|/p|#f"},
        {"no path", "http://h", "http://|3|||h|80||"},
        {"IPv6 literal and port", "http://[::1]:8443/p", "http://|3|||[::1]|8443|/p|"},
        {"IPv6 literal without port", "https://[fe80::1]/", "https://|4|||[fe80::1]|443|/|"},
        {"eight port digits", "http://h:12345678/p", Hex(-1)},
        {"seven port digits", "http://h:0000081/p", "http://|3|||h|81|/p|"},
        {"port above 65535", "http://h:99999/p", "http://|3|||h|80|/p|"},
        {"port not a number", "https://h:8a/p", "https://|4|||h|80|/p|"},
        {"user information", "http://u:pw@h:81/p", "http://|3|u|pw|h|81|/p|"},
        {"user information without ':'", "http://u@h/p", Hex(0x80072EE5)},
        {"only the port has a ':'", "http://u@h:81/p", Hex(0x80072EE5)},
        {"an '@' after '?' without a path", "http://good.example?x=a:b@evil.example",
         "http://|3|||good.example|80||?x=a:b@evil.example"},
        {"an '@' after '#' without a path", "http://good.example#a:b@evil.example",
         "http://|3|||good.example|80||#a:b@evil.example"},
        {"a ':' in the query without a path", "http://h?u=a:9", "http://|3|||h|80||?u=a:9"},
        {"another scheme", "ftp://h/p", "ftp://|-1|||h|80|/p|"},
        {"no scheme separator", "h/p", Hex(E_INVALIDARG)},
        {"a length cuts the url", "http://h/pXXXX", "http://|3|||h|80|/p|"},
    };
    for (const Case& c : cases) {
        const DWORD length = c.url.find("XXXX") != std::string::npos ? 10 : 0;
        EXPECT_EQ(Crack(c.url, length), c.expected) << c.name;
    }
}

TEST(QORSysCrackUrl, CopiesIntoBuffersThatFitAndEncodesFirstWhenAsked) {
    struct Case {
        const char* name;
        const char* url;
        std::uint32_t encodeMode;
        DWORD hostBuffer;  // 0: no buffer
        DWORD pathBuffer;
        HRESULT result;
        const char* host;  // what the buffer holds, "untouched" when nothing was written
        const char* path;
        DWORD hostLength;
        DWORD pathLength;
    };
    const Case cases[] = {
        {"both fit", "http://host/a b", 0, 16, 16, 0, "host", "/a b", 4, 4},
        {"a buffer of exactly the length", "http://host/a b", 0, 4, 16, E_INVALIDARG, "untouched", "/a b", 4, 4},
        {"a host longer than its buffer", "http://averylonghostname.test/x", 0, 4, 16, E_INVALIDARG, "untouched",
         "/x", 22, 2},
        {"encoded before cracking", "http://host/a b?c d", kDefault, 16, 16, 0, "host", "/a%20b", 4, 6},
        {"encoding needs every buffer", "http://host/a b", kDefault, 16, 0, E_INVALIDARG, "untouched", "untouched",
         16, 1},
        {"the encoder's error", "ftp://host/a", kDefault, 16, 16, E_INVALIDARG, "untouched", "untouched", 16, 16},
    };
    for (const Case& c : cases) {
        // The whole array holds the mark: a byte written past the buffer's length shows too.
        char host[32] = "untouched";
        char path[32] = "untouched";
        URL_COMPONENTSA components{};
        components.dwStructSize = sizeof components;
        components.lpszHostName = c.hostBuffer != 0 ? host : nullptr;
        components.dwHostNameLength = c.hostBuffer != 0 ? c.hostBuffer : 1;
        components.lpszUrlPath = c.pathBuffer != 0 ? path : nullptr;
        components.dwUrlPathLength = c.pathBuffer != 0 ? c.pathBuffer : 1;
        EXPECT_EQ(QORSysCrackUrl(c.url, 0, c.encodeMode, &components), c.result) << c.name;
        EXPECT_STREQ(host, c.host) << c.name;
        EXPECT_STREQ(path, c.path) << c.name;
        EXPECT_EQ(components.dwHostNameLength, c.hostLength) << c.name;
        EXPECT_EQ(components.dwUrlPathLength, c.pathLength) << c.name;
    }
    EXPECT_EQ(QORSysCrackUrl(nullptr, 0, 0, nullptr), E_INVALIDARG);
}

}  // namespace
