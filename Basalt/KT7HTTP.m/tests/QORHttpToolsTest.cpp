#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "QORHttpErrors.h"
#include "QORHttpTools.h"
#include "TestFolder.h"
#include "ZYNSysKernelHandle.h"
#include "ZYNSysTraceClient.h"

namespace {

using Env = std::vector<ChildProcess::EnvironmentChange>;

TEST(HeaderToLower, LowersTheNamesOfHeaderLinesOnly) {
    struct Case {
        const char* name;
        std::string head;
        std::string expected;
    };
    const Case cases[] = {
        {"CRLF head", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nSet-Cookie: A=B; Path=/X\r\n\r\n",
         "HTTP/1.1 200 OK\r\ncontent-length: 5\r\nset-cookie: A=B; Path=/X\r\n\r\n"},
        {"LF-only head", "HTTP/1.1 302 Found\nLocation: http://H/P\nX-Y: Z\n",
         "HTTP/1.1 302 Found\nlocation: http://H/P\nx-y: Z\n"},
        {"LF lines in a CRLF head stay one line", "HTTP/1.1 200 OK\r\nA-B: 1\nC-D: 2\r\n",
         "HTTP/1.1 200 OK\r\na-b: 1\nC-D: 2\r\n"},
        {"no line ends", "Content-Type: Text/HTML", "content-type: Text/HTML"},
        {"a line without a colon", "HTTP/1.0 200 OK\r\nBROKEN LINE\r\nAb: C\r\n",
         "HTTP/1.0 200 OK\r\nBROKEN LINE\r\nab: C\r\n"},
        {"a body after the head keeps its bytes", "HTTP/1.1 200 OK\r\nA: B\r\n\r\nBODY: KEPT\r\n",
         "HTTP/1.1 200 OK\r\na: B\r\n\r\nBODY: KEPT\r\n"},
        {"empty", "", ""},
    };
    for (const Case& c : cases) {
        std::string head = c.head;
        HeaderToLower(head.data());
        EXPECT_EQ(head, c.expected) << c.name;
    }
    HeaderToLower(nullptr);
}

TEST(CookieToLower, LowersAttributeNamesAndKeepsNameAndValues) {
    struct Case {
        const char* name;
        std::string line;
        std::string expected;
    };
    const Case cases[] = {
        {"header line", "Set-Cookie: Name=Val; Path=/A; Secure; HttpOnly",
         "Set-Cookie: Name=Val; path=/A; secure; httponly"},
        {"no header name", "SID=X; Domain=EXAMPLE.com; Max-Age=5", "SID=X; domain=EXAMPLE.com; max-age=5"},
        {"stops at the line end", "Set-Cookie: A=B; Path=/P\r\nSet-Cookie: C=D; Secure",
         "Set-Cookie: A=B; path=/P\r\nSet-Cookie: C=D; Secure"},
        {"no attributes", "Set-Cookie: A=B", "Set-Cookie: A=B"},
        {"a value naming an attribute", "Set-Cookie: A=B; Comment=Secure; SECURE", "Set-Cookie: A=B; comment=Secure; secure"},
    };
    for (const Case& c : cases) {
        std::string line = c.line;
        EXPECT_EQ(CookieToLower(line.data()), 0) << c.name;
        EXPECT_EQ(line, c.expected) << c.name;
    }
    EXPECT_EQ(CookieToLower(nullptr), E_FAIL);
}

TEST(HttpErrorTraces, TurnCodesIntoTheStacksResults) {
    struct Case {
        const char* name;
        HRESULT result;
        HRESULT expected;
    };
    const Case cases[] = {
        {"Win32 code", TraceHttpError(nullptr, 0, "Op", "Tag", ERROR_ACCESS_DENIED), static_cast<HRESULT>(0x80070005)},
        {"WinINet code", TraceHttpError(nullptr, 0, "Op", "Tag", 12007), static_cast<HRESULT>(0x80072EE7)},
        {"negative code kept", TraceHttpError(nullptr, 0, "Op", "Tag", -7), -7},
        {"minus a status kept", TraceHttpError(nullptr, 0, "Op", "Tag", -404), -404},
        {"HRESULT kept", TraceHttpError(nullptr, 0, "Op", "Tag", E_INVALIDARG), E_INVALIDARG},
        {"out of memory", TraceHttpOutOfMemory(nullptr, 0, "Op", "Tag"), E_OUTOFMEMORY},
        {"Win32 format", TraceHttpWin32Error(nullptr, 0, "\tOp (X Error 0x%x)", ERROR_FILE_NOT_FOUND),
         static_cast<HRESULT>(0x80070002)},
        {"result unchanged", TraceHttpResult(nullptr, 0, "Op", "Tag", 42), 42},
    };
    for (const Case& c : cases) EXPECT_EQ(c.result, c.expected) << c.name;
}

}  // namespace

VAROMET_CHILD_CASE(HttpErrorTraceLines) {
    ZYNSysTraceClient* trace = nullptr;
    ZYNSysTraceClient::Create(&trace, "HTTP");
    if (trace == nullptr) return 3;
    TraceHttpError(&trace, 0, "QORHttpDriver::Open", "InternetOpenA", 12029);
    TraceHttpOutOfMemory(&trace, 0, "QORSysCodeUrl", "*oHttpPath");
    TraceHttpWin32Error(&trace, 0, "\tQORHttpTools::CreateRegKey (RegCreateKeyExA Error 0x%x)", ERROR_ACCESS_DENIED);
    TraceHttpResult(&trace, 1, "QORHttpSession->ZYNSysGetSession", "End", 0x1234);
    if (trace != nullptr) return 4;  // the last call closed it
    TraceHttpError(&trace, 0, "After", "Closed", 1);
    return 0;
}

namespace {

// The child's environment: only the HTTP trace, on the standard output.
ChildProcess::Result RunTraced(const char* name, const TestFolder& folder, Env changes = {}) {
    Env environment = {{L"ZYNSysTrace", L"-e HTTP"}, {L"QORTraDecDir", std::nullopt},
                       {L"QORTemp", std::nullopt}, {L"QORTraceDir", folder.Path()}};
    environment.insert(environment.end(), changes.begin(), changes.end());
    return ChildProcess::Run(name, environment);
}

TEST(HttpErrorTraces, WriteTheirTextsAndErrorLinesAndCloseWhenAsked) {
    TestFolder folder;
    const ChildProcess::Result child = RunTraced("HttpErrorTraceLines", folder);
    ASSERT_TRUE(child.started) << child.output;
    ASSERT_EQ(child.exitCode, 0u) << child.output;
    const std::string prefix = "\\]\\[\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z\\]\\[HTTP\\]\\[[0-9A-F]{16}\\]";
    const std::regex expected(
        "\\[E" + prefix + "\\(QORHttpTools : 742\\) \tQORHttpDriver::Open \\(InternetOpenA Error 0x2efd\\)\r\n"
        "\\[E" + prefix + "\\(QORHttpTools : 731\\) \tQORSysCodeUrl \\(E_OUTOFMEMORY on \\*oHttpPath\\)\r\n"
        "\\[I" + prefix + " \tQORHttpTools::CreateRegKey \\(RegCreateKeyExA Error 0x80070005\\)\r\n"
        "\\[I" + prefix + " \tQORHttpSession->ZYNSysGetSession \\(End Session 0x1234\\)\r\n");
    EXPECT_TRUE(std::regex_match(child.output, expected)) << child.output;
}

}  // namespace

namespace {

constexpr const char kTestKey[] = "Software\\VarometTests\\HttpTools";

struct RegistryValueCase {
    const char* name;
    const char* keyPath;
    const char* valueName;
    HRESULT result;
    DWORD value;
};

TEST(QORHttpTools, CreateRegKeyWritesWhatReadRegKeysReadsBack) {
    ASSERT_EQ(QORHttpTools::CreateRegKey(nullptr, HKEY_CURRENT_USER, "Seven", kTestKey, 7, REG_OPTION_NON_VOLATILE), 0);
    ASSERT_EQ(QORHttpTools::CreateRegKey(nullptr, HKEY_CURRENT_USER, "All", kTestKey, 0xFFFFFFFFu,
                                         REG_OPTION_NON_VOLATILE),
              0);
    const RegistryValueCase cases[] = {
        {"a value written", kTestKey, "Seven", 0, 7},
        {"all bits", kTestKey, "All", 0, 0xFFFFFFFFu},
        {"a missing value", kTestKey, "Missing", ERROR_FILE_NOT_FOUND, 0},
        {"a missing key", "Software\\VarometTests\\NoSuchKey", "Seven", E_FAIL, 0},
    };
    for (const RegistryValueCase& c : cases) {
        DWORD value = 12345;
        EXPECT_EQ(QORHttpTools::ReadRegKeys(nullptr, HKEY_CURRENT_USER, c.keyPath, c.valueName, &value), c.result)
            << c.name;
        EXPECT_EQ(value, c.value) << c.name;
    }
    EXPECT_EQ(QORHttpTools::CreateRegKey(nullptr, nullptr, "V", kTestKey, 1, REG_OPTION_NON_VOLATILE),
              static_cast<HRESULT>(0x80070006));
    ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\VarometTests");
}

}  // namespace

namespace {

constexpr const char kFeatures[] = "Software\\Microsoft\\Internet Explorer\\Main\\FeatureControl\\";

std::string ReadFeature(HKEY root, const char* feature, const char* valueName) {
    DWORD value = 0;
    const HRESULT hr = QORHttpTools::ReadRegKeys(nullptr, root, (std::string(kFeatures) + feature).c_str(),
                                                 valueName, &value);
    if (hr == E_FAIL) return "absent";
    if (hr != 0) return "error " + std::to_string(hr);
    return std::to_string(value);
}

struct Feature {
    HKEY root;
    const char* key;
};

const Feature kFeatureKeys[] = {
    {HKEY_CURRENT_USER, "FEATURE_SKIP_POST_RETRY_ON_INTERNETWRITEFILE_KB895954"},
    {HKEY_LOCAL_MACHINE, "FEATURE_FIX_CHUNKED_PROXY_SCRIPT_DOWNLOAD_KB843289"},
    {HKEY_CURRENT_USER, "FEATURE_CHUNK_TIMEOUT_KB914453"},
    {HKEY_CURRENT_USER, "FEATURE_CERT_TRUST_VERIFIED_KB936882"},
    {HKEY_LOCAL_MACHINE, "FEATURE_WAIT_TIME_THREAD_TERMINATE_KB886801"},
};

// Every feature value the tools may write, in table order.
std::string FeatureValues() {
    std::string out;
    for (const Feature& f : kFeatureKeys) out += ReadFeature(f.root, f.key, "http_tools_tests.exe") + " ";
    out += ReadFeature(HKEY_CURRENT_USER, "FEATURE_CHUNK_TIMEOUT_KB914453", "ChunkSelectTimeout") + " ";
    out += ReadFeature(HKEY_LOCAL_MACHINE, "FEATURE_WAIT_TIME_THREAD_TERMINATE_KB886801", "ThreadTerminateWaitTime");
    return out;
}

void DeleteFeatures() {
    for (const Feature& f : kFeatureKeys) ::RegDeleteTreeA(f.root, (std::string(kFeatures) + f.key).c_str());
}

// Every process of this program writes the same feature values: the tests whose children write
// them take turns, whatever else runs beside them.
class FeatureValuesTurn {
public:
    FeatureValuesTurn() : mutex_(::CreateMutexW(nullptr, FALSE, L"Local\\VarometTestsHttpFeatureValues")) {
        const DWORD waited = mutex_ ? ::WaitForSingleObject(mutex_.Get(), 120000) : WAIT_FAILED;
        held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    }
    ~FeatureValuesTurn() {
        if (held_) ::ReleaseMutex(mutex_.Get());
    }
    FeatureValuesTurn(const FeatureValuesTurn&) = delete;
    FeatureValuesTurn& operator=(const FeatureValuesTurn&) = delete;

private:
    ZYNSysKernelHandle mutex_;
    bool held_ = false;
};

DWORD Limit(DWORD option) {
    DWORD value = 0;
    DWORD size = sizeof value;
    return ::InternetQueryOptionW(nullptr, option, &value, &size) ? value : 0xFFFFFFFFu;
}

}  // namespace

// The HTTP/1.0 and HTTP/1.1 server limits after the tools set them. Wine has no proxy limit
// (INTERNET_OPTION_MAX_CONNS_PER_PROXY fails with 12018), so that one cannot be read back.
VAROMET_CHILD_CASE(HttpConnectionLimits) {
    // The process starts at a value no case expects, so an untouched limit shows.
    for (DWORD option : {INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, INTERNET_OPTION_MAX_CONNS_PER_SERVER}) {
        DWORD start = 3;
        if (!::InternetSetOptionW(nullptr, option, &start, sizeof start)) return 3;
    }
    QORHttpTools::InitializeRegKeys(nullptr);
    std::printf("%lu %lu\n", Limit(INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER),
                Limit(INTERNET_OPTION_MAX_CONNS_PER_SERVER));
    return 0;
}

VAROMET_CHILD_CASE(HttpFeatureSwitches) {
    DeleteFeatures();
    QORHttpTools::InitializeRegKeys(nullptr);
    std::printf("%s\n", FeatureValues().c_str());
    // Once per process: a second call writes nothing.
    DeleteFeatures();
    QORHttpTools::InitializeRegKeys(nullptr);
    std::printf("%s\n", FeatureValues().c_str());
    DeleteFeatures();
    return 0;
}

namespace {

TEST(QORHttpTools, InitializeRegKeysSetsTheConnectionLimitsFromTheEnvironment) {
    const FeatureValuesTurn turn;
    struct Case {
        const char* name;
        std::optional<std::wstring> setting;
        const char* limits;
    };
    const Case cases[] = {
        {"unset", std::nullopt, "16 16\n"},
        {"8 gives the default", L"8", "16 16\n"},
        {"4 gives the default", L"4", "16 16\n"},
        {"64", L"64", "64 64\n"},
        {"128", L"128", "128 128\n"},
        {"200 leaves them", L"200", "3 3\n"},
        {"2 leaves them", L"2", "3 3\n"},
        {"not a number leaves them", L"many", "3 3\n"},
    };
    for (const Case& c : cases) {
        const ChildProcess::Result child =
            ChildProcess::Run("HttpConnectionLimits", {{L"ZYNSysMaxHTTPConnectionNumber", c.setting}});
        ASSERT_TRUE(child.started) << c.name << child.output;
        EXPECT_EQ(child.exitCode, 0u) << c.name;
        EXPECT_EQ(ChildProcess::TextOutput(child), c.limits) << c.name;
    }
}

TEST(QORHttpTools, InitializeRegKeysWritesTheSwitchedFeaturesOncePerProcess) {
    const FeatureValuesTurn turn;
    struct Case {
        const char* name;
        Env switches;
        const char* values;
    };
    const Env none = {{L"QORHTTP_ENABLE_KB843289", std::nullopt}, {L"QORHTTP_ENABLE_KB914453", std::nullopt},
                      {L"QORHTTP_ENABLE_KB936882", std::nullopt}, {L"QORHTTP_ENABLE_KB886801", std::nullopt}};
    const Case cases[] = {
        {"no switch", none, "1 absent absent absent absent absent absent\n"},
        {"every switch",
         {{L"QORHTTP_ENABLE_KB843289", L"1"}, {L"QORHTTP_ENABLE_KB914453", L"1"},
          {L"QORHTTP_ENABLE_KB936882", L"1"}, {L"QORHTTP_ENABLE_KB886801", L"1"}},
         "1 1 1 1 1 4294967295 2000\n"},
        {"two switches",
         {{L"QORHTTP_ENABLE_KB843289", std::nullopt}, {L"QORHTTP_ENABLE_KB914453", L"yes"},
          {L"QORHTTP_ENABLE_KB936882", std::nullopt}, {L"QORHTTP_ENABLE_KB886801", L"0"}},
         "1 absent 1 absent 1 4294967295 2000\n"},
    };
    for (const Case& c : cases) {
        const ChildProcess::Result child = ChildProcess::Run("HttpFeatureSwitches", c.switches);
        ASSERT_TRUE(child.started) << c.name << child.output;
        EXPECT_EQ(child.exitCode, 0u) << c.name;
        EXPECT_EQ(ChildProcess::TextOutput(child),
                  std::string(c.values) + "absent absent absent absent absent absent absent\n")
            << c.name;
    }
}

}  // namespace

VAROMET_CHILD_CASE(HttpRegKeysTraced) {
    ZYNSysTraceClient* trace = nullptr;
    ZYNSysTraceClient::Create(&trace, "HTTP");
    if (trace == nullptr) return 3;
    QORHttpTools::InitializeRegKeys(trace);
    return 0;
}

namespace {

TEST(QORHttpTools, InitializeRegKeysTracesTheProgramTheBrowserVersionAndTheLimit) {
    const FeatureValuesTurn turn;
    TestFolder folder;
    const ChildProcess::Result child =
        RunTraced("HttpRegKeysTraced", folder, {{L"ZYNSysMaxHTTPConnectionNumber", L"64"}});
    ASSERT_TRUE(child.started) << child.output;
    ASSERT_EQ(child.exitCode, 0u) << child.output;
    const char* const lines[] = {
        "\\] \tQORHttpTools::InitializeRegKeys\r\n",
        "\\] \tQORHttpTools::InitializeRegKeys \\(AppName <http_tools_tests\\.exe>\\) \\(IE <[^>]*>, IESVC <[^>]*>, "
        "KB <[^>]*>\\)\r\n",
        "\\] \tQORHttpTools::InitializeRegKeys \\(InternetSetOption MAX_CONNS = 64\\)\r\n",
    };
    for (const char* line : lines) {
        EXPECT_TRUE(std::regex_search(child.output, std::regex(line))) << line << "\n" << child.output;
    }
}

}  // namespace
