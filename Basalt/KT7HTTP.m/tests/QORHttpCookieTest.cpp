#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "QORHttpCookie.h"
#include "QORHttpCookieJar.h"
#include "QORHttpSharedSetting.h"
#include "TestFolder.h"
#include "ZYNSysHandle.h"
#include "ZYNSysKernelHandle.h"
#include "ZYNSysWin.h"

#include <wininet.h>

namespace {

constexpr HRESULT kNoCookie = static_cast<HRESULT>(0x80070103);

// A host of this process's own: the WinINet jar outlives the process in the test prefix.
std::string Host(const std::string& label) {
    return label + "-" + std::to_string(::GetCurrentProcessId()) + ".cookie.test";
}

struct Got {
    HRESULT result;
    std::string text;
};

Got Get(const std::string& url, unsigned long flags, const char* filter = nullptr) {
    char* text = nullptr;
    const HRESULT result = QORSysGetCookie(url.c_str(), filter, &text, flags);
    const ZYNSysCString owned(text);
    return {result, text != nullptr ? text : ""};
}

// The WinINet jar's text for a url; HttpOnly cookies only through the extended call.
std::string Jar(const std::string& url, bool httpOnly = false) {
    char buffer[4096] = {};
    DWORD size = sizeof(buffer);
    const BOOL done = httpOnly ? ::InternetGetCookieExA(url.c_str(), nullptr, buffer, &size, INTERNET_COOKIE_HTTPONLY,
                                                        nullptr)
                               : ::InternetGetCookieA(url.c_str(), nullptr, buffer, &size);
    return done ? std::string(buffer) : std::string();
}

// "Wdy, DD Mon YYYY HH:MM:SS GMT" for now plus the offset.
std::string GmtDate(long long offsetSeconds) {
    const std::time_t when = std::time(nullptr) + offsetSeconds;
    std::tm parts{};
    gmtime_s(&parts, &when);
    char text[64];
    std::strftime(text, sizeof(text), "%a, %d %b %Y %H:%M:%S GMT", &parts);
    return text;
}

struct Set {
    std::string url;
    std::string text;
    unsigned long mode;
    HRESULT expected;
};

struct Read {
    std::string url;
    unsigned long flags;
    HRESULT expected;
    std::string text;
};

struct Scenario {
    const char* name;
    std::vector<Set> sets;
    std::vector<Read> reads;
};

void Play(const Scenario& s) {
    for (const Set& set : s.sets) {
        EXPECT_EQ(QORSysSetCookie(set.url.c_str(), set.text.c_str(), set.mode), set.expected)
            << s.name << ": set " << set.text << " for " << set.url;
    }
    for (const Read& read : s.reads) {
        const Got got = Get(read.url, read.flags);
        EXPECT_EQ(got.result, read.expected) << s.name << ": get " << read.url;
        EXPECT_EQ(got.text, read.text) << s.name << ": get " << read.url;
    }
}

}  // namespace

TEST(QORHttpCookie, SetCookieFillsPathDomainAndUrlFromTheRequest) {
    const std::string h1 = Host("path-attr"), h2 = Host("path-query"), h3 = Host("path-none");
    const Scenario scenarios[] = {
        {"a path attribute is kept with a slash; the cookie belongs to scheme, host and that path",
         {{"https://" + h1 + "/y/z", "a=1; Path=/x", 1, S_OK}},
         {{"https://" + h1 + "/x/", 4, S_OK, "a=1; Path=/x/\r\n"}, {"https://" + h1 + "/y/z", 4, kNoCookie, ""}}},
        {"without a path attribute the request's folder before the query",
         {{"https://" + h2 + "/y/z?q=1", "b=2", 1, S_OK}},
         {{"https://" + h2 + "/y/", 4, S_OK, "b=2; Path=/y/\r\n"}, {"https://" + h2 + "/", 4, kNoCookie, ""}}},
        {"a request without path gives /",
         {{"https://" + h3, "c=3", 1, S_OK}},
         {{"https://" + h3 + "/deep/er", 4, S_OK, "c=3; Path=/\r\n"}}},
    };
    for (const Scenario& s : scenarios) Play(s);
    // The WinINet copy goes to the cookie's own url.
    const std::string h4 = Host("path-jar");
    ASSERT_EQ(QORSysSetCookie(("https://" + h4 + "/y/z").c_str(), "j=1; Path=/x", 0), S_OK);
    EXPECT_NE(Jar("https://" + h4 + "/x/").find("j=1"), std::string::npos);
    EXPECT_EQ(Jar("https://" + h4 + "/y/").find("j=1"), std::string::npos);
}

TEST(QORHttpCookie, GetCookieSelectsByPathSecurityNameAndForm) {
    const std::string r = Host("remove"), s = Host("secure"), d = Host("dot"), p = Host("prefix"), f = Host("forms"),
                      w = Host("word"), ws = Host("websocket"), x = Host("expires");
    const Scenario scenarios[] = {
        {"an empty value removes the cookie",
         {{"https://" + r + "/", "e=1", 1, S_OK}, {"https://" + r + "/", "e=", 1, S_OK}},
         {{"https://" + r + "/", 4, kNoCookie, ""}}},
        {"secure over plain http is refused, whatever its case and the colons after it",
         {{"http://" + s + "/", "s=1; Secure", 1, E_FAIL},
          {"http://" + s + "/", "s=1; SECURE; Expires=Wed, 09 Jun 2100 10:18:14 GMT", 1, E_FAIL},
          {"http://" + s + "/", "s=1; Path=/a; Secure; Comment=a:b", 1, E_FAIL}},
         {{"https://" + s + "/", 4, kNoCookie, ""}}},
        {"secure over wss is kept and left out for http",
         {{"wss://" + s + "/", "s=2; Secure", 1, S_OK}},
         {{"http://" + s + "/", 4, kNoCookie, ""}, {"https://" + s + "/", 4, S_OK, "s=2; Path=/\r\n"}}},
        {"secure is left out for ws",
         {{"wss://" + ws + "/", "s=3; Secure", 1, S_OK}},
         {{"ws://" + ws + "/", 4, kNoCookie, ""}, {"wss://" + ws + "/", 4, S_OK, "s=3; Path=/\r\n"}}},
        {"an expires inside a value hides not the real attribute",
         {{"https://" + x + "/", "pref=1", 1, S_OK},
          {"https://" + x + "/", "pref=noexpires; expires=" + GmtDate(-3600), 1, S_OK}},
         {{"https://" + x + "/", 4, kNoCookie, ""}}},
        {"a leading dot serves the bare domain and every host below",
         {{"https://www." + d + "/", "d=1; Domain=." + d, 1, S_OK}},
         {{"https://" + d + "/", 4, S_OK, "d=1; Path=/\r\n"}, {"https://a.b." + d + "/", 4, S_OK, "d=1; Path=/\r\n"}}},
        {"path /a/ is sent for /a/b, not for /ab",
         {{"https://" + p + "/a/b", "q=1; Path=/a/", 1, S_OK}},
         {{"https://" + p + "/a/b", 4, S_OK, "q=1; Path=/a/\r\n"}, {"https://" + p + "/ab", 4, kNoCookie, ""}}},
        {"flags 1, 2 and both",
         {{"https://" + f + "/", "a=1\r\nb=2", 1, S_OK}},
         {{"https://" + f + "/", 5, S_OK, "Cookie: a=1; b=2\r\n"},
          {"https://" + f + "/", 6, S_OK, "a=1; Path=/\r\nCookie: b=2; Path=/\r\n"},
          {"https://" + f + "/", 7, S_OK, "Cookie: a=1\r\nCookie: b=2\r\n"}}},
        {"secure counts although a later value holds the word",
         {{"https://" + w + "/", "k=1; Secure; Comment=notsecure", 1, S_OK}},
         {{"http://" + w + "/", 4, kNoCookie, ""}, {"https://" + w + "/", 4, S_OK, "k=1; Path=/\r\n"}}},
    };
    for (const Scenario& s : scenarios) Play(s);
    const Got filtered = Get("https://" + f + "/", 5, "b");
    EXPECT_EQ(filtered.text, "Cookie: b=2\r\n");
}

TEST(QORHttpCookie, AQueryOrFragmentTakesNoPartInPathMatching) {
    const std::string h = "http://" + Host("query-path");
    Play({"a cookie of path /a",
          {{h + "/a/x", "a=1; Path=/a", 1, S_OK}},
          {{h + "/a", 4, S_OK, "a=1; Path=/a/\r\n"},
           {h + "/a?x=1", 4, S_OK, "a=1; Path=/a/\r\n"},
           {h + "/a#top", 4, S_OK, "a=1; Path=/a/\r\n"},
           {h + "/a/b?x=1", 4, S_OK, "a=1; Path=/a/\r\n"},
           {h + "/ab?x=/a/", 4, kNoCookie, ""}}});
}

TEST(QORHttpCookie, ADomainAttributeMustNameTheRequestHostOrAParent) {
    const std::string host = Host("site");
    const Scenario scenarios[] = {
        {"a foreign domain", {{"https://a." + host + "/", "f=1; Domain=evil.test", 1, E_FAIL}},
         {{"https://evil.test/", 4, kNoCookie, ""}}},
        {"a single label", {{"https://a." + host + "/", "f=2; Domain=test", 1, E_FAIL}},
         {{"https://b.test/", 4, kNoCookie, ""}}},
        {"a suffix of an address", {{"http://10.1.2.3/", "f=3; Domain=2.3", 1, E_FAIL}},
         {{"http://10.1.2.3/", 4, kNoCookie, ""}}},
        {"a name ending like the host", {{"https://a." + host + "/", "f=4; Domain=x" + host, 1, E_FAIL}}, {}},
        {"a path that moves the url to another host", {{"https://" + host + "/", "f=5; Path=.evil.test/", 1, E_FAIL}},
         {{"https://" + host + ".evil.test/", 4, kNoCookie, ""}}},
        {"a path that moves the domain's url to another host",
         {{"https://" + host + "/", "f=6; Domain=" + host + "; Path=.evil.test/", 0, E_FAIL}},
         {{"https://" + host + "/", 4, kNoCookie, ""}}},
        {"the parent domain", {{"https://a." + host + "/", "g=1; Domain=" + host, 1, S_OK}},
         {{"https://b." + host + "/", 4, S_OK, "g=1; Path=/\r\n"}}},
        {"the address itself", {{"http://10.9.8.7/", "g=2; Domain=10.9.8.7", 1, S_OK}},
         {{"http://10.9.8.7/", 4, S_OK, "g=2; Path=/\r\n"}}},
        {"a single-label host names itself", {{"http://" + Host("intranet") + "/", "g=3; Domain=" + Host("intranet"), 1, S_OK}},
         {{"http://" + Host("intranet") + "/", 4, S_OK, "g=3; Path=/\r\n"}}},
    };
    for (const Scenario& s : scenarios) Play(s);
}

TEST(QORHttpCookie, DomainsThatShareAHashKeepTheirCookies) {
    // h x 37 + c: "c0" and "az" give the same value, and so does any name built around them.
    const std::string mine = "c0." + Host("hash"), other = "az." + Host("hash");
    ASSERT_EQ(QORHttpCookieDomainHash(mine.c_str()), QORHttpCookieDomainHash(other.c_str()));
    ASSERT_EQ(QORSysSetCookie(("https://" + mine + "/").c_str(), "x=1", 1), S_OK);
    EXPECT_EQ(Get("https://" + other + "/", 4).result, kNoCookie);
    EXPECT_EQ(Get("https://" + mine + "/", 4).text, "x=1; Path=/\r\n");
}

TEST(QORHttpCookie, ADomainKeepsAtMost180Cookies) {
    const std::string url = "https://" + Host("full") + "/";
    std::string lines = "c0=1";
    for (int i = 1; i < 180; ++i) lines += "\r\nc" + std::to_string(i) + "=1";
    ASSERT_EQ(QORSysSetCookie(url.c_str(), lines.c_str(), 1), S_OK);
    EXPECT_EQ(QORSysSetCookie(url.c_str(), "over=1", 1), E_FAIL);
    EXPECT_EQ(QORSysSetCookie(url.c_str(), "c0=2", 1), S_OK) << "a replacement still fits";
    const std::string sent = Get(url, 5).text;
    EXPECT_EQ(std::count(sent.begin(), sent.end(), '='), 180) << sent;
    EXPECT_NE(sent.find("c0=2"), std::string::npos) << sent;
    EXPECT_EQ(sent.find("over"), std::string::npos) << sent;
}

TEST(QORHttpCookie, ACookiePrefixIsLookedForInItsOwnLineOnly) {
    const std::string host = Host("prefix-line");
    const Scenario s = {"lines with and without a prefix",
                        {{"https://" + host + "/", "a=1\r\nSet-Cookie: b=2\r\nCookie: c=3", 1, S_OK}},
                        {{"https://" + host + "/", 5, S_OK, "Cookie: a=1; b=2; c=3\r\n"}}};
    Play(s);
}

TEST(QORHttpCookie, EntryPointsRefuseWhatTheyCannotUse) {
    const std::string url = "https://" + Host("refuse") + "/";
    struct Case {
        const char* name;
        const char* url;
        const char* text;
        HRESULT expected;
    };
    const Case cases[] = {
        {"no url", nullptr, "a=1", E_INVALIDARG},
        {"no text", url.c_str(), nullptr, E_INVALIDARG},
        {"another scheme", "ftp://x.test/", "a=1", E_FAIL},
        {"no equal sign", url.c_str(), "a", E_FAIL},
        {"a version of 8 characters", url.c_str(), "a=1; Version=12345678", E_FAIL},
        {"a later line without equal sign", url.c_str(), "a=1\r\nb", E_FAIL},
        {"a CR inside a line", url.c_str(), "c=1\rX-Injected: y; Path=/", E_FAIL},
        {"a LF inside a line", url.c_str(), "c=1\nX-Injected: y; Path=/", E_FAIL},
        {"an empty text", url.c_str(), "", S_OK},
    };
    for (const Case& c : cases) EXPECT_EQ(QORSysSetCookie(c.url, c.text, 1), c.expected) << c.name;
    // The line before the failing one stays stored.
    EXPECT_EQ(Get(url, 4).text, "a=1; Path=/\r\n");
    char* text = nullptr;
    EXPECT_EQ(QORSysGetCookie(nullptr, nullptr, &text, 4), E_INVALIDARG);
    EXPECT_EQ(QORSysGetCookie(url.c_str(), nullptr, nullptr, 4), E_INVALIDARG);
    EXPECT_EQ(QORSysGetCookie("http://", nullptr, &text, 0), E_FAIL);
    EXPECT_EQ(text, nullptr);
    std::uint32_t first = 0, second = 0;
    wchar_t* value = nullptr;
    EXPECT_EQ(GetSharedSetting("LoginWithUI", &first, &second, &value), E_FAIL);
}

TEST(QORHttpCookie, ParsingFunctionsFollowTheCookieGrammar) {
    struct AttrCase {
        const char* text;
        HRESULT expected;
        const char* name;
        const char* value;  // null: no value
    };
    const AttrCase attrs[] = {
        {"  a b = 1 2 ; path=/", S_OK, "a b", "1 2"},
        {"a=", S_OK, "a", nullptr},
        {"a= ;x", S_OK, "a", nullptr},
        {"a=v;;", S_OK, "a", "v"},
        {"a=b=c", S_OK, "a", "b=c"},
        {"novalue", E_FAIL, nullptr, nullptr},
        {"", E_INVALIDARG, nullptr, nullptr},
    };
    for (const AttrCase& c : attrs) {
        const char* name = nullptr;
        const char* value = nullptr;
        std::size_t nameLength = 0, valueLength = 0;
        const std::string text(c.text);
        ASSERT_EQ(GetCookieAttr(text.c_str(), text.size(), &name, &nameLength, &value, &valueLength, nullptr),
                  c.expected)
            << c.text;
        if (FAILED(c.expected)) continue;
        EXPECT_EQ(std::string(name, nameLength), c.name) << c.text;
        if (c.value == nullptr) {
            EXPECT_EQ(value, nullptr) << c.text;
        } else {
            ASSERT_NE(value, nullptr) << c.text;
            EXPECT_EQ(std::string(value, valueLength), c.value) << c.text;
        }
    }
    struct PropertyCase {
        const char* text;
        const char* property;
        int expected;
    };
    const PropertyCase properties[] = {
        {"a=1; secure", "secure", 0},          {"a=1; secure; path=/", "secure", 0},
        {"a=1; note=secure", "secure", 1},     {"a=1; secure=no", "secure", 1},
        {"a=1; note=secure; secure", "secure", 0}, {"secure", "secure", 0},
        {"a=1; httponly", "secure", 1},        {"a=1; insecure", "secure", 1},
        {"a=1; undelete", "delete", 1},        {"a=1; secureness", "secure", 1},
        {"a=1;secure ", "secure", 0},
    };
    for (const PropertyCase& c : properties) {
        EXPECT_EQ(GetCookiePropertie(c.text, c.property, nullptr), c.expected) << c.text;
    }
}

TEST(QORHttpCookie, CompareCookiesFindsNoRecordEqualToABrokenOne) {
    auto make = [](const char* domain, const char* path, const char* name, bool text) {
        QORHttpCookieList c(new QORHttpCookie());
        auto copy = [](const char* s) { return s != nullptr ? ZYNSysCString(::_strdup(s)) : ZYNSysCString(); };
        c->_Domain = copy(domain);
        c->_Path = copy(path);
        c->name = copy(name);
        if (text) c->text = copy("n=v");
        c->pathLength = path != nullptr ? static_cast<std::uint32_t>(std::strlen(path)) : 0;
        c->nameLength = name != nullptr ? static_cast<std::uint32_t>(std::strlen(name)) : 0;
        return c;
    };
    const QORHttpCookieList whole = make("h", "/", "n", true);
    struct Case {
        const char* name;
        QORHttpCookieList other;
        int expected;
    };
    Case cases[] = {
        {"the same cookie", make("h", "/", "n", true), 1},
        {"another path", make("h", "/a/", "n", true), 0},
        {"another name", make("h", "/", "m", true), 0},
        {"another domain", make("g", "/", "n", true), 0},
        {"no path", make("h", nullptr, "n", true), 0},
        {"no text", make("h", "/", "n", false), 0},
        {"no record", nullptr, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CompareCookies(whole.get(), c.other.get()), c.expected) << c.name;
        EXPECT_EQ(CompareCookies(c.other.get(), whole.get()), c.expected) << c.name;
    }
}

TEST(QORHttpCookie, InsertRefusesARecordWithoutNameOrWithALineBreak) {
    const std::string host = Host("insert");
    auto make = [&](const char* name, const char* value = "v") {
        QORHttpCookieList c(new QORHttpCookie());
        c->text = ZYNSysCString(::_strdup("n=v"));
        if (name != nullptr) c->name = ZYNSysCString(::_strdup(name));
        c->value = ZYNSysCString(::_strdup(value));
        c->_Domain = ZYNSysCString(::_strdup(host.c_str()));
        c->_Path = ZYNSysCString(::_strdup("/"));
        c->nameLength = name != nullptr ? static_cast<std::uint32_t>(std::strlen(name)) : 0;
        c->valueLength = 1;
        c->pathLength = 1;
        c->domainLength = static_cast<std::uint32_t>(host.size());
        c->domainHash = QORHttpCookieDomainHash(host.c_str());
        return c;
    };
    QORHttpCookieList list = make(nullptr);
    list->next = make("n").release();
    list->next->next = make("m", "v\r\nX-Injected: y").release();
    EXPECT_EQ(ZYNSysInsertCookie(nullptr, list), E_FAIL);
    EXPECT_FALSE(list);
    // The whole record is stored; the broken ones never reach the look-up.
    EXPECT_EQ(Get("https://" + host + "/", 5).text, "Cookie: n=v\r\n");
}

TEST(QORHttpCookie, CookiesReachTheWinINetJarAndComeBackFromIt) {
    const std::string mirror = "https://" + Host("mirror") + "/";
    ASSERT_EQ(QORSysSetCookie(mirror.c_str(), "m=1", 0), S_OK);
    ASSERT_EQ(QORSysSetCookie(mirror.c_str(), "h=2; HttpOnly", 0), S_OK);
    ASSERT_EQ(QORSysSetCookie(mirror.c_str(), "n=3", 1), S_OK);
    const std::string jar = Jar(mirror, true);
    EXPECT_NE(jar.find("m=1"), std::string::npos) << jar;
    EXPECT_NE(jar.find("h=2"), std::string::npos) << jar;
    EXPECT_EQ(jar.find("n=3"), std::string::npos) << jar;

    // A removal reaches the jar too.
    ASSERT_EQ(QORSysSetCookie(mirror.c_str(), "m=", 0), S_OK);
    EXPECT_EQ(Jar(mirror, true).find("m=1"), std::string::npos);

    // The jar's cookies are imported, a changed value included ("1" lies inside "10").
    const std::string import = "http://" + Host("import") + "/";
    ASSERT_EQ(QORSysSetCookie(import.c_str(), "a=10", 1), S_OK);
    ASSERT_TRUE(::InternetSetCookieA(import.c_str(), nullptr, "a=1"));
    ASSERT_TRUE(::InternetSetCookieA((import + "sub/").c_str(), nullptr, "w=5"));
    EXPECT_EQ(Get(import + "sub/page", 1).text, "Cookie: a=1; w=5\r\n");
    EXPECT_EQ(Get(import, 0).text, "a=1; Path=/");
}

TEST(QORHttpCookie, TheJarIsReadForEachFolderOfTheUrlUpToItsQuery) {
    class CountingJar final : public QORHttpCookieJar {
    public:
        bool Read(const std::string& url, std::string&) override {
            read.push_back(url);
            return false;
        }
        std::vector<std::string> read;
    };
    struct Installed {
        explicit Installed(QORHttpCookieJar& jar) : previous(QORHttpSetCookieJar(&jar)) {}
        ~Installed() { QORHttpSetCookieJar(previous); }
        QORHttpCookieJar* previous;
    };
    const std::string site = "http://" + Host("folders");
    struct Case {
        const char* name;
        std::string url;
        std::vector<std::string> read;
    } cases[] = {
        {"a query holding slashes", site + "/a/b?x=/y/z", {site + "/", site + "/a/", site + "/a/b/"}},
        {"a fragment holding slashes", site + "/a#/y/z", {site + "/", site + "/a/"}},
    };
    for (const Case& c : cases) {
        CountingJar jar;
        const Installed installed(jar);
        Get(c.url, 1);
        EXPECT_EQ(jar.read, c.read) << c.name;
    }
}

TEST(QORHttpCookie, TheWinINetImportKeepsSecureCookiesSecure) {
    // This WinINet answers secure cookies for plain urls too: their import must not make them plain.
    const std::string host = Host("import-secure");
    ASSERT_EQ(QORSysSetCookie(("https://" + host + "/").c_str(), "s=1; Secure", 0), S_OK);
    EXPECT_EQ(Get("http://" + host + "/", 1).text.find("s=1"), std::string::npos);
    EXPECT_EQ(Get("https://" + host + "/", 1).text, "Cookie: s=1\r\n");
    // Nor does a plain pair of another value, read over http, take a secure cookie's place.
    const std::string other = Host("import-plain");
    ASSERT_EQ(QORSysSetCookie(("https://" + other + "/").c_str(), "t=1; Secure", 1), S_OK);
    ASSERT_TRUE(::InternetSetCookieA(("http://" + other + "/").c_str(), nullptr, "t=9"));
    EXPECT_EQ(Get("http://" + other + "/", 1).text.find("t=9"), std::string::npos);
    EXPECT_EQ(Get("https://" + other + "/", 5).text, "Cookie: t=1\r\n");
    // A pair read through https may be a secure cookie: it is not sent over http.
    const std::string read = Host("import-https");
    ASSERT_TRUE(::InternetSetCookieA(("https://" + read + "/").c_str(), nullptr, "r=1"));
    EXPECT_EQ(Get("https://" + read + "/", 1).text, "Cookie: r=1\r\n");
    EXPECT_EQ(Get("http://" + read + "/", 5).result, kNoCookie);
}

TEST(QORHttpCookie, APlainAnswerNeverReplacesASecureCookie) {
    const std::string host = Host("keep-secure");
    const std::string plain = "http://" + host + "/", secured = "https://" + host + "/";
    ASSERT_EQ(QORSysSetCookie(secured.c_str(), "s=1; Secure", 2), S_OK);
    ASSERT_EQ(QORSysSetCookie(secured.c_str(), "CASTGC=TGT-1; Secure", 2), S_OK);
    struct Case {
        const char* name;
        std::string url;
        const char* line;
        unsigned long mode;
        const char* filter;
        std::string sent;  // over https
    } cases[] = {
        {"a raw driver's plain answer", plain, "s=2", 2, "s", "Cookie: s=1\r\n"},
        {"a WinINet driver's plain answer for the ticket", plain, "CASTGC=TGT-2", 3, "CASTGC", "Cookie: CASTGC=TGT-1\r\n"},
        {"a secured answer", secured, "s=3", 2, "s", "Cookie: s=3\r\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(QORSysSetCookie(c.url.c_str(), c.line, c.mode), S_OK) << c.name;
        EXPECT_EQ(Get(secured, 5, c.filter).text, c.sent) << c.name;
    }
}

TEST(QORHttpCookie, ACasTicketCookieIsKeptWhileTheSessionIsValid) {
    static std::atomic<int> asked{0};
    static HRESULT answer = S_OK;
    struct Case {
        const char* name;
        QORSysCASCheckFunction check;
        HRESULT answer;
        unsigned long mode;
        const char* expected;
        int asked;
    };
    const QORSysCASCheckFunction fake = [](const char*, char** user, char**, char**, int) -> HRESULT {
        ++asked;
        *user = ::_strdup("someone");
        return answer;
    };
    const std::string url = "https://" + Host("cas") + "/";
    const Case cases[] = {
        {"no check set: not valid", nullptr, S_OK, 0, "CASTGC=TGT-1", 0},
        {"a valid session keeps the cookie", fake, S_OK, 0, "CASTGC=TGT-1", 1},
        {"an invalid session lets it through", fake, static_cast<HRESULT>(0x803D0022), 0, "CASTGC=TGT-3", 1},
        {"mode 2 does not ask", fake, S_OK, 2, "CASTGC=TGT-4", 0},
    };
    int n = 0;
    for (const Case& c : cases) {
        QORSysSetCASCheck(c.check);
        answer = c.answer;
        asked = 0;
        const std::string line = "CASTGC=TGT-" + std::to_string(++n);
        EXPECT_EQ(QORSysSetCookie(url.c_str(), line.c_str(), c.mode), S_OK) << c.name;
        EXPECT_EQ(asked.load(), c.asked) << c.name;
        EXPECT_EQ(Get(url, 5).text, std::string("Cookie: ") + c.expected + "\r\n") << c.name;
    }
    QORSysSetCASCheck(nullptr);
}

TEST(QORHttpCookie, EightThreadsSetAndGetTogether) {
    const std::string shared = "https://" + Host("threads") + "/";
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            const std::string own = "https://t" + std::to_string(t) + "." + Host("threads") + "/";
            for (int i = 0; i < 200; ++i) {
                const std::string line = "c" + std::to_string(i % 20) + "=" + std::to_string(i);
                if (QORSysSetCookie(own.c_str(), line.c_str(), 1) != S_OK) ++failures;
                if (QORSysSetCookie(shared.c_str(), ("t" + std::to_string(t) + "=" + std::to_string(i)).c_str(), 1) !=
                    S_OK) {
                    ++failures;
                }
                if (Get(own, 4).result != S_OK) ++failures;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    for (int t = 0; t < 8; ++t) {
        const std::string own = "https://t" + std::to_string(t) + "." + Host("threads") + "/";
        const Got got = Get(own, 5);
        // Its twenty cookies and the eight of the shared host, its parent.
        EXPECT_NE(got.text.find("c19=199"), std::string::npos) << got.text;
        EXPECT_EQ(std::count(got.text.begin(), got.text.end(), '='), 28) << got.text;
    }
    const Got all = Get(shared, 5);
    EXPECT_EQ(std::count(all.text.begin(), all.text.end(), '='), 8) << all.text;
}

namespace {

// The one per-process trace folder under <root>\ZYNSysTrace.
std::wstring TraceFolder(const std::wstring& root) {
    WIN32_FIND_DATAW entry;
    ZYNSysFindHandle search(::FindFirstFileW((root + L"\\ZYNSysTrace\\D*").c_str(), &entry));
    return search ? root + L"\\ZYNSysTrace\\" + entry.cFileName : std::wstring();
}

std::string ReadAll(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }
std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

// Sets one cookie expiring in two hours and one expired two hours ago, then prints what is sent.
VAROMET_CHILD_CASE(CookieExpiry) {
    const std::string url = "https://" + Host("expiry") + "/";
    const std::string future = "f=1; Expires=" + GmtDate(2 * 3600);
    const std::string past = "p=1; Expires=" + GmtDate(-2 * 3600);
    if (QORSysSetCookie(url.c_str(), future.c_str(), 1) != S_OK) return 3;
    if (QORSysSetCookie(url.c_str(), past.c_str(), 1) != S_OK) return 4;
    std::printf("%s", Get(url, 5).text.c_str());
    return 0;
}

TEST(QORHttpCookie, ExpiryDatesAreReadAsGmtWhateverTheLocalZone) {
    const wchar_t* zones[] = {L"UTC", L"XXX-5", L"YYY+5"};
    for (const wchar_t* zone : zones) {
        const ChildProcess::Result child = ChildProcess::Run("CookieExpiry", {{L"TZ", zone}});
        ASSERT_TRUE(child.started) << child.output;
        EXPECT_EQ(child.exitCode, 0u) << Narrow(zone);
        EXPECT_EQ(ChildProcess::TextOutput(child), "Cookie: f=1\n") << Narrow(zone);
    }
}

// Sets and reads one cookie with the COOKIE trace on.
VAROMET_CHILD_CASE(CookieTraced) {
    const std::string url = "https://" + Host("traced") + "/";
    if (QORSysSetCookie(url.c_str(), "sess=supersecretvalue123", 1) != S_OK) return 3;
    if (QORSysSetCookie(url.c_str(), "sess=supersecretvalue456", 1) != S_OK) return 4;
    if (Get(url, 5).text != "Cookie: sess=supersecretvalue456\r\n") return 5;
    // A CAS ticket in the url: a set copied to WinINet, then a get that imports from WinINet.
    const std::string site = "https://" + Host("traced-ticket") + "/";
    const std::string ticket = site + "login?ticket=ST-4242-casticket";
    if (QORSysSetCookie(ticket.c_str(), "t=1", 0) != S_OK) return 6;
    if (!::InternetSetCookieA(site.c_str(), nullptr, "j=2")) return 7;
    return Get(ticket, 1).text.find("j=2") != std::string::npos ? 0 : 8;
}

TEST(QORHttpCookie, TheCookieTraceShowsNoValueInClear) {
    TestFolder folder;
    const ChildProcess::Result child =
        ChildProcess::Run("CookieTraced", {{L"ZYNSysTrace", L"-fcookie.txt COOKIE"}, {L"QORTraDecDir", std::nullopt},
                                           {L"QORTemp", std::nullopt}, {L"QORTraceDir", folder.Path()}});
    ASSERT_TRUE(child.started) << child.output;
    EXPECT_EQ(child.exitCode, 0u) << child.output;
    const std::string trace = ReadAll(TraceFolder(folder.Path()) + L"\\cookie.txt");
    EXPECT_EQ(trace.find("supersecret"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("ST-4242"), std::string::npos) << trace;
    const char* expected[] = {
        "\tQORSysSetCookie value=<sess***(24)>\r\n",
        "\tQORSysSetCookie cookie=<sess***(24)> Deleted\r\n",
        "\tQORSysGetCookie Found with same key cookie name=<sess>, cookie value=<supe***(19)>\r\n",
        "\tQORSysGetCookie add to output cookie name=<sess>, cookie value=<supe***(19)>\r\n",
        "\tQORSysGetCookie output cookies=<Cook***(34)>\r\n",
        "/login>\r\n",
        "\tQORSysSetCookie InternetSetCookieA cookie=<***(3)> on URL=<https://traced-ticket-",
    };
    for (const char* line : expected) EXPECT_NE(trace.find(line), std::string::npos) << line << " in\n" << trace;
}

TEST(QORHttpCookie, CacheFileRecordsBecomeCookies) {
    struct Case {
        const char* name;
        std::string file;
        HRESULT expected;
        std::vector<std::string> cookies;  // "name=value domain path secure", last record first
    };
    const Case cases[] = {
        {"two records", "a\n1\nExample.test/\n0\n1\n2\n3\n4\n*\nb\n\nexample.test/x/\n1\n0\n0\n0\n0\n*\n", S_OK,
         {"b= example.test /x/ 1", "a=1 example.test / 0"}},
        {"no third line", "a\n1\n", E_FAIL, {}},
        {"no slash in the third line", "a\n1\nexample.test\n0\n0\n0\n0\n0\n*\n", E_FAIL, {}},
        {"no closing star", "a\n1\nexample.test/\n0\n0\n0\n0\n0\n", E_FAIL, {}},
        {"a star without its line end", "a\n1\nexample.test/\n0\n0\n0\n0\n0\n*", E_FAIL, {}},
        {"a word for a number", "a\n1\nexample.test/\n0\nlow\n0\n0\n0\n*\n", E_FAIL, {}},
        {"nothing", "", S_OK, {}},
    };
    for (const Case& c : cases) {
        QORHttpCookieList list;
        EXPECT_EQ(ParseOSCookieCacheFile(nullptr, c.file.data(), c.file.size(), list), c.expected) << c.name;
        if (FAILED(c.expected)) continue;
        std::vector<std::string> found;
        for (const QORHttpCookie* r = list.get(); r != nullptr; r = r->next) {
            found.push_back(std::string(r->text.get()) + " " + r->_Domain.get() + " " + r->_Path.get() + " " +
                            std::to_string(r->secure));
            EXPECT_EQ(r->domainHash, QORHttpCookieDomainHash("example.test")) << c.name;
        }
        EXPECT_EQ(found, c.cookies) << c.name;
    }
}

namespace {

void UnlockCacheStream(HANDLE stream) { ::UnlockUrlCacheEntryStream(stream, 0); }
using CacheStream = ZYNSysHandle<ZYNSysHandleTraits<HANDLE, &UnlockCacheStream>>;

// A persistent cookie in the jar, expired again when the test ends.
class PersistentCookie {
public:
    PersistentCookie(std::string url, std::string pair) : url_(std::move(url)), pair_(std::move(pair)) {
        set_ = ::InternetSetCookieA(url_.c_str(), nullptr, (pair_ + "; expires=" + GmtDate(3600)).c_str()) != FALSE;
    }
    ~PersistentCookie() { ::InternetSetCookieA(url_.c_str(), nullptr, (pair_ + "; expires=" + GmtDate(-3600)).c_str()); }
    bool IsSet() const { return set_; }

private:
    std::string url_;
    std::string pair_;
    bool set_ = false;
};

// The URL-cache entry as this WinINet names it; empty when there is none.
std::string CacheEntry(const std::wstring& name) {
    DWORD infoSize = 0;
    CacheStream probe(::RetrieveUrlCacheEntryStreamW(name.c_str(), nullptr, &infoSize, FALSE, 0));
    std::vector<std::uint64_t> block(infoSize / 8 + 1);
    auto* info = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOW*>(block.data());
    CacheStream stream(::RetrieveUrlCacheEntryStreamW(name.c_str(), info, &infoSize, FALSE, 0));
    if (!stream) return {};
    std::string data(info->dwSizeLow, '\0');
    DWORD size = info->dwSizeLow;
    if (!::ReadUrlCacheEntryStream(stream.Get(), 0, data.data(), &size, 0)) size = 0;
    data.resize(size);
    return data;
}

std::wstring UserName() {
    wchar_t user[257] = {};
    DWORD length = 257;
    return ::GetUserNameW(user, &length) ? std::wstring(user) : std::wstring();
}

}  // namespace

TEST(QORHttpCookie, WinesCacheFileOfAPersistentCookieParses) {
    const std::string host = Host("cachefile");
    const PersistentCookie cookie("http://" + host + "/keep/", "pc=42");
    ASSERT_TRUE(cookie.IsSet());
    // Wine's entry name keeps the host's case and starts with "Cookie:".
    const std::wstring name = L"Cookie:" + UserName() + L"@" + Wide(host) + L"/keep/";
    const std::string data = CacheEntry(name);
    ASSERT_FALSE(data.empty()) << "no cache entry named " << Narrow(name);
    QORHttpCookieList list;
    ASSERT_EQ(ParseOSCookieCacheFile(nullptr, data.data(), data.size(), list), S_OK) << data;
    ASSERT_TRUE(list);
    EXPECT_STREQ(list->text.get(), "pc=42");
    EXPECT_STREQ(list->_Domain.get(), host.c_str());
    EXPECT_STREQ(list->_Path.get(), "/keep/");
    EXPECT_EQ(list->next, nullptr);
}

TEST(QORHttpCookie, PersistentCookiesComeInFromTheUrlCache) {
    const std::string host = Host("cacheimport");
    const PersistentCookie cookie("http://" + host + "/keep/", "ci=7");
    ASSERT_TRUE(cookie.IsSet());
    ASSERT_EQ(ImportOSCookieCache(nullptr, (host + ":80/keep/page?x=1").c_str()), S_OK);
    const Got got = Get("http://" + host + "/keep/", 5);
    if (got.result == kNoCookie && !CacheEntry(L"Cookie:" + UserName() + L"@" + Wide(host) + L"/keep/").empty()) {
        GTEST_SKIP() << "Wine names cookie cache entries \"Cookie:user@host/path/\" and looks them up with that "
                        "case, so the lower-case names the import asks for find nothing";
    }
    EXPECT_EQ(got.text, "Cookie: ci=7\r\n");
}
