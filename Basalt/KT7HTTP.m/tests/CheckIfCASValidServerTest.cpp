// The CAS session check against the local test server, through the facade's default WinINet
// driver: the answer's status and members, the CASTGC cookie its Set-Cookie puts in the store,
// and the store's guard. Paths carry the process id: the WinINet jar outlives a run.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "CheckIfCASValid.h"
#include "LocalHttpServer.h"
#include "QORHttpCookie.h"
#include "QORHttpPrompt.h"
#include "TestFolder.h"

namespace {

constexpr HRESULT kNoTicketCookie = static_cast<HRESULT>(0x803D0022);

// No request here may reach the real dialog: the test display would leave it waiting.
class RefusingPrompt final : public QORHttpPrompt {
public:
    DWORD Ask(HINTERNET, DWORD error, HWND) override { return error; }
};

class CheckIfCASValidServer : public ::testing::Test {
protected:
    void SetUp() override {
        ::SetEnvironmentVariableA("HTTPDriver", nullptr);
        std::filesystem::create_directories(served);
        ASSERT_NE(server.Port(), 0) << server.Error();
    }

    // The CAS URL of a case: a folder of its own, then the server's knobs.
    std::string CasUrl(const std::string& name, const std::string& knobs) const {
        return server.Url("cas" + std::to_string(::GetCurrentProcessId()) + "-" + name + "/" + knobs);
    }

    TestFolder folder;
    std::wstring served = folder.In(L"www");
    LocalHttpServer server{served};
    RefusingPrompt prompt;
    QORHttpScopedPrompt installedPrompt{prompt};
};

struct CheckOutputs {
    ~CheckOutputs() {
        std::free(userName);
        std::free(email);
        std::free(body);
    }
    char* userName = nullptr;
    char* email = nullptr;
    char* body = nullptr;
};

std::string StoredCookies(const std::string& url) {
    char* text = nullptr;
    QORSysGetCookie(url.c_str(), nullptr, &text, 4);
    const std::string cookies = text != nullptr ? text : "";
    std::free(text);
    return cookies;
}

TEST_F(CheckIfCASValidServer, AnswersFromTheStatusTheMembersAndTheStoredTicket) {
    const struct Case {
        const char* name;
        const char* knobs;
        HRESULT expected;
        const char* userName;
        const char* email;
    } cases[] = {
        {"valid", "user=ann/email=ann%40example.test/castgc=TGT-live-1/", 0, "ann", "ann@example.test"},
        {"nocookie", "user=bea/castgc=none/", kNoTicketCookie, "bea", "jdoe@example.test"},
        {"error", "status=500/castgc=TGT-live-2/", E_FAIL, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        const std::string casUrl = CasUrl(c.name, c.knobs);
        CheckOutputs outputs;
        EXPECT_EQ(CheckIfCASValid(casUrl.c_str(), &outputs.userName, &outputs.email, &outputs.body, 1), c.expected)
            << c.name;
        EXPECT_STREQ(outputs.userName, c.userName) << c.name;
        EXPECT_STREQ(outputs.email, c.email) << c.name;
        // A failed request's body is not kept.
        EXPECT_EQ(outputs.body != nullptr, c.expected != E_FAIL) << c.name;
    }
    const std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].rfind("GET /cas", 0), 0u) << requests[0];
    EXPECT_NE(requests[0].find("/castgc=TGT-live-1/api/authenticated/user/me "), std::string::npos) << requests[0];
}

TEST_F(CheckIfCASValidServer, AModeZeroTicketLeavesAValidSessionsTicketInPlace) {
    const std::string casUrl = CasUrl("guard", "castgc=TGT-live-guard/");
    CheckOutputs outputs;
    ASSERT_EQ(CheckIfCASValid(casUrl.c_str(), &outputs.userName, &outputs.email, &outputs.body, 0), 0);
    ASSERT_NE(StoredCookies(casUrl).find("CASTGC=TGT-live-guard"), std::string::npos);

    EXPECT_EQ(QORSysSetCookie(casUrl.c_str(), "CASTGC=TGT-from-the-caller", 0), 0);
    const std::string stored = StoredCookies(casUrl);
    EXPECT_NE(stored.find("CASTGC=TGT-live-guard"), std::string::npos) << stored;
    EXPECT_EQ(stored.find("TGT-from-the-caller"), std::string::npos) << stored;
    EXPECT_EQ(server.Requests().size(), 2u);
}

}  // namespace
