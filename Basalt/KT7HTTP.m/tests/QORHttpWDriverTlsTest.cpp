// The WinINet driver over HTTPS against the local test server's self-signed certificate.
// These tests run one at a time: one of them sets the system policy that forbids ignoring
// certificate errors, which every driver of the machine reads.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ChildProcess.h"
#include "LocalHttpServer.h"
#include "TestFolder.h"
#include "WDriverTestSupport.h"
#include "ZYNSysRegistryHandle.h"

namespace {

constexpr HRESULT kInvalidCa = static_cast<HRESULT>(0x80072F0D);
constexpr HRESULT kCertErrorsForbidden = static_cast<HRESULT>(0x800720DD);
constexpr DWORD kIgnoreCertificateProblems = 0x3300;
constexpr wchar_t kPolicyKey[] = L"Software\\Policies\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr wchar_t kUrlVariable[] = L"WDRIVER_TEST_TLS_URL";

class WinInetDriverTls : public ::testing::Test {
protected:
    void SetUp() override {
        // A run killed inside the policy test leaves the value in the persistent prefix.
        ZYNSysRegKey key;
        if (::RegOpenKeyExW(HKEY_CURRENT_USER, kPolicyKey, 0, KEY_SET_VALUE, key.Put()) == ERROR_SUCCESS) {
            ::RegDeleteValueW(key.Get(), L"PreventIgnoreCertErrors");
        }
        std::filesystem::create_directories(served);
        WriteFile(served + L"\\secure.txt", "over TLS\n");
        ASSERT_NE(server.Port(), 0) << server.Error();
    }

    TestFolder folder;
    std::wstring served = folder.In(L"www");
    LocalHttpServer server{served, true};
};

TEST_F(WinInetDriverTls, SelfSignedCertificateIsAnsweredByFlagsOrPrompt) {
    struct Case {
        const char* name;
        DWORD securityFlags;
        DWORD answer;
        HRESULT rc;
        int asked;
    } cases[] = {
        {"nobody to ask", 0, ERROR_INTERNET_INVALID_CA, kInvalidCa, 1},
        {"cancelled", 0, ERROR_CANCELLED, static_cast<HRESULT>(0x800704C7), 1},
        // Sent five times, the last error kept: a prompt may not hold a request for ever.
        {"always retried", 0, ERROR_INTERNET_FORCE_RETRY, kInvalidCa, QORHttpWDriver::kMaxSendAttempts - 1},
        // Last: WinINet keeps the accepted connection for the host and port.
        {"flags set by the caller", kIgnoreCertificateProblems, ERROR_CANCELLED, 0, 0},
    };
    for (const Case& c : cases) {
        ScriptedPrompt prompt(c.answer);
        QORHttpScopedPrompt installed(prompt);
        auto driver = MakeDriver("WinINet driver test: tls");
        if (c.securityFlags) {
            ASSERT_EQ(driver->SetOptions(QORHTTP_OPTION_SECURITY, &c.securityFlags, 4), 0) << c.name;
        }
        Body body;
        EXPECT_EQ(driver->Get(server.Url("secure.txt").c_str(), 0, &body.text, &body.length, nullptr), c.rc) << c.name;
        EXPECT_EQ(body.Text(), c.rc == 0 ? "over TLS\n" : "") << c.name;
        EXPECT_EQ(prompt.asked, c.asked) << c.name;
        if (c.asked) {
            EXPECT_EQ(prompt.lastError, static_cast<DWORD>(ERROR_INTERNET_INVALID_CA)) << c.name;
        }
    }
}

// Reads the policy once, as every process does: a child of its own.
VAROMET_CHILD_CASE(CertificateErrorUnderThePolicy) {
    char url[512] = {};
    if (!::GetEnvironmentVariableA("WDRIVER_TEST_TLS_URL", url, sizeof url)) return 2;
    ScriptedPrompt prompt(ERROR_INTERNET_FORCE_RETRY);
    QORHttpScopedPrompt installed(prompt);
    auto driver = MakeDriver("WinINet driver test: tls policy");
    Body body;
    const HRESULT rc = driver->Get(url, 0, &body.text, &body.length, nullptr);
    std::printf("rc=0x%lx asked=%d\n", static_cast<unsigned long>(rc), prompt.asked);
    return rc == kCertErrorsForbidden && prompt.asked == 0 ? 0 : 1;
}

TEST_F(WinInetDriverTls, PolicyForbidsIgnoringCertificateErrorsWithoutAPrompt) {
    ZYNSysRegKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, kPolicyKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.Put(), nullptr),
              ERROR_SUCCESS);
    const DWORD on = 1;
    ASSERT_EQ(::RegSetValueExW(key.Get(), L"PreventIgnoreCertErrors", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&on),
                               sizeof on),
              ERROR_SUCCESS);
    const std::string url = server.Url("secure.txt");
    const ChildProcess::Result run = ChildProcess::Run(
        "CertificateErrorUnderThePolicy", {{kUrlVariable, std::wstring(url.begin(), url.end())}});
    ::RegDeleteValueW(key.Get(), L"PreventIgnoreCertErrors");
    ASSERT_TRUE(run.started) << run.output;
    EXPECT_EQ(run.exitCode, 0u) << ChildProcess::TextOutput(run);
}

}  // namespace
