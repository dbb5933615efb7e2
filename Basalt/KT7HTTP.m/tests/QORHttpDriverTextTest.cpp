// The driver base's text work: URL normalising, user agents, header blocks, ranges, masking.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "FakeHttpTransport.h"
#include "TestFolder.h"

namespace {

TEST(QORHttpDriverText, NormalizeUrlLowersTheHostAndDropsTheDefaultPort) {
    struct Case {
        const char* url;
        HRESULT result;
        const char* normalised;
    } cases[] = {
        {"https://WWW.Example.COM:443/Path/X", 0, "https://www.example.com/Path/X"},
        {"https://Host:443", 0, "https://host"},
        {"http://Host:80/a", 0, "http://host/a"},
        {"http://Host:8080/a", 0, "http://host:8080/a"},
        {"http://host:443/a", 0, "http://host:443/a"},
        {"https://host:80/a", 0, "https://host:80/a"},
        {"http://h/Sidl%20Request/Sidl%20Request", 0, "http://h/Sidl+Request/Sidl%20Request"},
        {"http://", E_FAIL, "http://"},
        {"ftp://host/x", E_FAIL, "ftp://host/x"},
    };
    FakeHttpTransport driver;
    for (const Case& c : cases) {
        std::string url = c.url;
        EXPECT_EQ(driver.NormalizeUrl(url.data()), c.result) << c.url;
        EXPECT_STREQ(url.c_str(), c.normalised) << c.url;
    }
    EXPECT_EQ(driver.NormalizeUrl(nullptr), E_FAIL);
}

TEST(QORHttpDriverText, UserAgentLosesTrailingBlanksAndNeedsTwoCharacters) {
    struct Case {
        const char* given;
        const char* kept;
    } cases[] = {
        {"a\r\n", QORHTTP_DEFAULT_USER_AGENT},
        {"ab ", "ab"},
        {"Varomet Launcher HTTP client\t \r\n", "Varomet Launcher HTTP client"},
        {"  ", QORHTTP_DEFAULT_USER_AGENT},
        {nullptr, QORHTTP_DEFAULT_USER_AGENT},
    };
    for (const Case& c : cases) {
        FakeHttpTransport driver({}, 'W', c.given);
        EXPECT_STREQ(driver.UserAgent(), c.kept) << (c.given ? c.given : "null");
    }
}

TEST(QORHttpDriverText, CoalesceHeaderJoinsValuesOfOneName) {
    struct Case {
        const char* name;
        const char* block;  // before, null for none
        const char* header;
        std::uint32_t flags;
        HRESULT result;
        const char* merged;
    } cases[] = {
        {"a first line", nullptr, "Accept: a/b\r\n", 0x40000000, 0, "Accept: a/b\r\n"},
        {"another name is appended", "Accept: a/b\r\n", "X-One: 1\r\n", 0x40000000, 0,
         "Accept: a/b\r\nX-One: 1\r\n"},
        {"the same name joins with a comma", "Accept: a/b\r\nX-One: 1\r\n", "Accept: c/d\r\n", 0x40000000, 0,
         "Accept: a/b, c/d\r\nX-One: 1\r\n"},
        {"or with a semicolon", "Cookie: a=1\r\n", "Cookie: b=2\r\n", 0x01000000, 0, "Cookie: a=1; b=2\r\n"},
        {"names compare with their case", "Accept: a/b\r\n", "accept: c/d\r\n", 0x40000000, 0,
         "Accept: a/b\r\naccept: c/d\r\n"},
        {"a name inside a value is not a line", "X-Note: Accept: no\r\n", "Accept: c/d\r\n", 0x40000000, 0,
         "X-Note: Accept: no\r\nAccept: c/d\r\n"},
        {"several lines, each merged", "Range: bytes=1-2\r\n", "Accept-Ranges: bytes\r\nRange: bytes=5-6\r\n",
         0x40000000, 0, "Range: bytes=1-2, bytes=5-6\r\nAccept-Ranges: bytes\r\n"},
        {"no CRLF", nullptr, "Accept: a/b", 0x40000000, E_INVALIDARG, nullptr},
        {"too short", nullptr, "A\n", 0x40000000, E_INVALIDARG, nullptr},
        {"no colon", nullptr, "Accept a/b\r\n", 0x40000000, static_cast<HRESULT>(0x80072F79), nullptr},
        {"no join flag", nullptr, "Accept: a/b\r\n", 0xA0000000, static_cast<HRESULT>(0x80072EE9), nullptr},
    };
    for (const Case& c : cases) {
        FakeHttpTransport driver;
        char* block = nullptr;
        std::uint64_t length = 0;
        if (c.block != nullptr) {
            block = static_cast<char*>(std::malloc(std::strlen(c.block) + 1));
            std::strcpy(block, c.block);
            length = std::strlen(c.block);
        }
        EXPECT_EQ(driver.CoalesceHeader(c.header, c.flags, &length, &block), c.result) << c.name;
        if (c.merged != nullptr) {
            EXPECT_STREQ(block, c.merged) << c.name;
            EXPECT_EQ(length, std::strlen(c.merged)) << c.name;
        } else {
            EXPECT_EQ(block == nullptr, c.block == nullptr) << c.name;
        }
        std::free(block);
    }
    FakeHttpTransport driver;
    std::uint64_t length = 0;
    EXPECT_EQ(driver.CoalesceHeader(nullptr, 0x40000000, &length, nullptr), 0);
    EXPECT_EQ(driver.CoalesceHeader("Accept: a/b\r\n", 0x40000000, &length, nullptr), E_INVALIDARG);
}

TEST(QORHttpDriverText, SecretHeaderValuesAreMaskedForTraces) {
    struct Case {
        const char* text;
        const char* masked;
    } cases[] = {
        {"Cookie: CASTGC=TGT-1-secret\r\n", "Cookie: CAST***(19)\r\n"},
        {"set-cookie: a=1\r\n", "set-cookie: ***(3)\r\n"},
        {"Authorization: Basic dTpwYXNz\r\nHost: h\r\n", "Authorization: Basi***(14)\r\nHost: h\r\n"},
        {"Proxy-Authorization: Basic eDp5\n", "Proxy-Authorization: Basi***(10)\n"},
        {"Content-Type: text/plain\r\nX-Cookie: shown\r\n", "Content-Type: text/plain\r\nX-Cookie: shown\r\n"},
        {"no header at all", "no header at all"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(QORHttpDriver::MaskSecretHeaders(c.text, std::strlen(c.text)), c.masked) << c.text;
    }
}

// A request whose text body and URL carry secrets, traced to standard output.
VAROMET_CHILD_CASE(TracedRequestShowsNoSecret) {
    FakeHttpTransport driver({FakeHttpTransport::Ok("Set-Cookie: CASTGC=TGT-42-body-secret\r\n",
                                                    "Content-Type: text/plain\r\n")});
    char* body = nullptr;
    std::uint64_t length = 0;
    const HRESULT result = driver.Get("http://h/cas/login?service=x&ticket=ST-77-url-secret", 0, &body, &length, nullptr);
    std::free(body);
    std::string binary = "bin";
    binary += '\x01';
    driver.Trace(binary.data(), binary.size(), 0);
    return result == 0 ? 0 : 3;
}

TEST(QORHttpDriverText, TracesShowNoCookieNorTicket) {
    TestFolder folder;
    const ChildProcess::Result child = ChildProcess::Run(
        "TracedRequestShowsNoSecret", {{L"ZYNSysTrace", L"-o HTTP"}, {L"QORTraDecDir", std::nullopt},
                                       {L"QORTemp", std::nullopt}, {L"QORTraceDir", folder.Path()}});
    ASSERT_TRUE(child.started) << child.output;
    EXPECT_EQ(child.exitCode, 0u) << child.output;
    const std::string output = ChildProcess::TextOutput(child);
    for (const char* shown : {"QORHttpDriver::HttpSendDataEx url=<http://h/cas/login?service=x&ticket=ST-7***(16)>",
                              "QORHttpDriver::Trace (Set-Cookie: CAST***(25)",
                              "QORHttpDriver::Trace (RECEIVE : 4 octets)", "QORHttpDriver::ComputeTrace (bin[01])"}) {
        EXPECT_NE(output.find(shown), std::string::npos) << shown << " in\n" << output;
    }
    for (const char* secret : {"url-secret", "body-secret"}) {
        EXPECT_EQ(output.find(secret), std::string::npos) << secret << " in\n" << output;
    }
}

TEST(QORHttpDriverText, BaseOptionsCheckTheirLengthAndRefuseNull) {
    const std::uint32_t four = 30000;
    const char user[] = "someone";
    struct Case {
        const char* name;
        std::uint32_t id;
        const void* value;
        std::uint32_t length;
        HRESULT result;
    } cases[] = {
        {"receive time-out", QORHTTP_OPTION_RECEIVE_TIMEOUT, &four, 4, 0},
        {"send time-out", QORHTTP_OPTION_SEND_TIMEOUT, &four, 4, 0},
        {"connect time-out", QORHTTP_OPTION_CONNECT_TIMEOUT, &four, 4, 0},
        {"body mode", QORHTTP_OPTION_BODY_MODE, &four, 4, 0},
        {"encode mode", QORHTTP_OPTION_URL_ENCODE_MODE, &four, 4, 0},
        {"keep error body", QORHTTP_KEEP_ERROR_BODY, &four, 4, 0},
        {"user name", QORHTTP_OPTION_USERNAME, user, sizeof user - 1, 0},
        {"body mode of 8 bytes", QORHTTP_OPTION_BODY_MODE, &four, 8, E_INVALIDARG},
        {"a time-out of 2 bytes", QORHTTP_OPTION_RECEIVE_TIMEOUT, &four, 2, E_INVALIDARG},
        {"an empty user name", QORHTTP_OPTION_USERNAME, user, 0, E_INVALIDARG},
        // Read through the pointer: null would crash rather than reset.
        {"a null time-out", QORHTTP_OPTION_RECEIVE_TIMEOUT, nullptr, 4, E_INVALIDARG},
        {"a null keep-error-body", QORHTTP_KEEP_ERROR_BODY, nullptr, 4, E_INVALIDARG},
        {"a null password", QORHTTP_OPTION_PASSWORD, nullptr, 4, E_INVALIDARG},
        {"a null perfo callback", QORHTTP_OPTION_SET_PERFO_CALLBACK, nullptr, 8, E_INVALIDARG},
        {"a transport's option", QORHTTP_OPTION_SECURITY, &four, 4, E_INVALIDARG},
    };
    for (const Case& c : cases) {
        FakeHttpTransport driver;
        EXPECT_EQ(driver.SetOptions(c.id, c.value, c.length), c.result) << c.name;
        if (c.result != 0 || c.id == QORHTTP_OPTION_USERNAME) continue;
        std::uint32_t length = 0;
        EXPECT_EQ(driver.GetOptions(c.id, nullptr, &length), 0) << c.name;
        EXPECT_EQ(length, 4u) << c.name;
        std::uint32_t read = 0;
        EXPECT_EQ(driver.GetOptions(c.id, &read, &length), 0) << c.name;
        EXPECT_EQ(read, four) << c.name;
    }
}

TEST(QORHttpDriverText, SettingsCarryOverToAnotherDriver) {
    FakeHttpTransport old({}, 'D', "caller agent");
    const std::uint32_t thirty = 30000;
    for (std::uint32_t id : {QORHTTP_OPTION_RECEIVE_TIMEOUT, QORHTTP_OPTION_SEND_TIMEOUT, QORHTTP_OPTION_CONNECT_TIMEOUT}) {
        ASSERT_EQ(old.SetOptions(id, &thirty, 4), 0);
    }
    const struct {
        std::uint32_t id;
        const char* text;
    } texts[] = {{QORHTTP_OPTION_USERNAME, "u"}, {QORHTTP_OPTION_PASSWORD, "p"},
                 {QORHTTP_OPTION_PROXY_USERNAME, "pu"}, {QORHTTP_OPTION_PROXY_PASSWORD, "pp"}};
    for (const auto& t : texts) ASSERT_EQ(old.SetOptions(t.id, t.text, static_cast<std::uint32_t>(std::strlen(t.text))), 0);
    FakeHttpTransport swapped({}, 'W', "swapped in");
    ASSERT_EQ(swapped.CopyBaseSettings(old), 0);
    EXPECT_EQ(swapped.ReceiveTimeout(), thirty);
    EXPECT_EQ(swapped.SendTimeout(), thirty);
    EXPECT_EQ(swapped.ConnectTimeout(), thirty);
    EXPECT_EQ(swapped.UserName(), "u");
    EXPECT_EQ(swapped.Password(), "p");
    EXPECT_EQ(swapped.ProxyUserName(), "pu");
    EXPECT_EQ(swapped.ProxyPassword(), "pp");
    EXPECT_STREQ(swapped.UserAgent(), "caller agent");
}

TEST(QORHttpDriverText, EpochTimeIsUnixTimeInMilliseconds) {
    const std::int64_t before = static_cast<std::int64_t>(std::time(nullptr)) * 1000;
    std::int32_t zone = 99;
    const std::int64_t now = HttpStatistics::GetEpochTime(&zone);
    const std::int64_t after = static_cast<std::int64_t>(std::time(nullptr)) * 1000 + 1000;
    EXPECT_GE(now, before);
    EXPECT_LE(now, after);
    EXPECT_GE(zone, -12);
    EXPECT_LE(zone, 14);
}

// Started by its own ctest entry with a zone that has no daylight saving (Japan's): under Wine
// the zone is the Unix TZ the process starts with, which a Windows parent cannot change.
VAROMET_CHILD_CASE(ZoneWithoutDaylightSavingKeepsItsOffset) {
    std::int32_t zone = 99;
    HttpStatistics::GetEpochTime(&zone);
    std::printf("zone %d, expected 9\n", static_cast<int>(zone));
    return zone == 9 ? 0 : 1;
}

}  // namespace
