// The CAS session check: what it asks the driver, what it reads from the answer and the cookie
// store, and the store's CASTGC guard that it serves. Each case takes a host of its own: the
// store lives for the process and the WinINet jar persists in the test prefix.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "CheckIfCASValid.h"
#include "ChildProcess.h"
#include "QORHttpCookie.h"
#include "RecordingHttpDriver.h"
#include "TestFolder.h"
#include "ZYNSysKernelHandle.h"

namespace {

constexpr HRESULT kNoTicketCookie = static_cast<HRESULT>(0x803D0022);

// Owns the texts the check hands out.
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

// The store's own cookies for the url (no import from the WinINet jar).
std::string StoredCookies(const char* url) {
    char* text = nullptr;
    QORSysGetCookie(url, nullptr, &text, 4);
    const std::string cookies = text != nullptr ? text : "";
    std::free(text);
    return cookies;
}

class CheckIfCASValidTest : public ::testing::Test {
protected:
    void SetUp() override { ::SetEnvironmentVariableA("HTTPDriver", nullptr); }
};

TEST_F(CheckIfCASValidTest, AsksTheUserEndpointForJsonWithThirtySecondTimeouts) {
    const struct Case {
        const char* casUrl;
        const char* asked;
    } cases[] = {
        {"http://cas-ask.test/cas", "http://cas-ask.test/cas/api/authenticated/user/me"},
        {"http://cas-ask.test/", "http://cas-ask.test/api/authenticated/user/me"},
    };
    for (const Case& c : cases) {
        RecordingDriverFactory factory;
        CheckOutputs outputs;
        CheckIfCASValid(c.casUrl, &outputs.userName, &outputs.email, &outputs.body, 0);
        EXPECT_EQ(factory.Lines(),
                  std::string("make W1 Pelvane HTTP CLIENT v2.1-QX 1.1\n"
                              "W1 SetOptions 6 30000\n"
                              "W1 SetOptions 5 30000\n"
                              "W1 SetOptions 2 30000\n"
                              "W1 AddRequestHeaders Accept: application/json\\r\\n 0x40000000\n"
                              "W1 Get ") +
                      c.asked +
                      " 0x600000 body len -\n"
                      "W1 GetResponseHeaders 19 len index -\n"
                      "W1 deleted\n")
            << c.casUrl;
    }
}

TEST_F(CheckIfCASValidTest, ReadsTheUserFromTheAnswerAndTheTicketFromTheStore) {
    const struct Case {
        const char* name;
        const char* host;
        bool ticketStored;
        HRESULT request;
        const char* status;
        const char* body;
        std::uint64_t length;  // 0: the whole body
        int keepBody;
        HRESULT expected;
        const char* userName;
        const char* email;
    } cases[] = {
        {"both members", "cas-members.test", true, 0, "200", R"({"username":"alice","email":"alice@example.org"})", 0,
         0, 0, "alice", "alice@example.org"},
        {"blanks around the colon", "cas-blanks.test", true, 0, "200", R"({ "username" : "bob" , "email": "" })", 0, 0,
         0, "bob", ""},
        {"the name as a value first", "cas-value.test", true, 0, "200", R"({"note":"username","username":"carol"})", 0,
         0, 0, "carol", nullptr},
        {"cut inside the value", "cas-cut-value.test", true, 0, "200", R"({"username":"dave)", 0, 0, 0, nullptr,
         nullptr},
        {"cut after the name", "cas-cut-name.test", true, 0, "200", R"({"username)", 0, 0, 0, nullptr, nullptr},
        {"a member past the body's length", "cas-length.test", true, 0, "200", R"({"username":"erin"})", 12, 0, 0,
         nullptr, nullptr},
        {"status 500", "cas-500.test", true, 0, "500", R"({"username":"frank"})", 0, 0, E_FAIL, nullptr, nullptr},
        {"request failed", "cas-404.test", true, -404, "404", "", 0, 0, E_FAIL, nullptr, nullptr},
        {"no ticket stored", "cas-noticket.test", false, 0, "200", R"({"username":"gina"})", 0, 0, kNoTicketCookie,
         "gina", nullptr},
        {"body kept", "cas-keep.test", true, 0, "200", R"({"email":"h@example.org"})", 0, 1, 0, nullptr,
         "h@example.org"},
    };
    for (const Case& c : cases) {
        const std::string casUrl = std::string("http://") + c.host + "/cas";
        // Store only: neither the guard nor the WinINet jar.
        if (c.ticketStored) {
            ASSERT_EQ(QORSysSetCookie(casUrl.c_str(), "CASTGC=TGT-stored", 1), 0) << c.name;
        }
        RecordingDriverFactory factory;
        factory.result = c.request;
        factory.status = c.status;
        factory.body = c.body;
        factory.length = c.length != 0 ? c.length : std::strlen(c.body);
        CheckOutputs outputs;
        EXPECT_EQ(CheckIfCASValid(casUrl.c_str(), &outputs.userName, &outputs.email, &outputs.body, c.keepBody),
                  c.expected)
            << c.name;
        EXPECT_STREQ(outputs.userName, c.userName) << c.name;
        EXPECT_STREQ(outputs.email, c.email) << c.name;
        EXPECT_STREQ(outputs.body, c.keepBody == 1 ? c.body : nullptr) << c.name;
    }
}

TEST_F(CheckIfCASValidTest, AnEmptyUrlFailsWithoutARequest) {
    RecordingDriverFactory factory;
    CheckOutputs outputs;
    EXPECT_EQ(CheckIfCASValid("", &outputs.userName, &outputs.email, &outputs.body, 1), E_FAIL);
    EXPECT_EQ(CheckIfCASValid(nullptr, nullptr, nullptr, nullptr, 0), E_FAIL);
    EXPECT_EQ(factory.Lines(), "");
}

TEST_F(CheckIfCASValidTest, AValidSessionKeepsItsTicketAgainstAModeZeroCookie) {
    const struct Case {
        const char* host;
        const char* status;
        const char* kept;
    } cases[] = {
        {"cas-guard-valid.test", "200", "CASTGC=TGT-old"},
        {"cas-guard-ended.test", "500", "CASTGC=TGT-new"},
    };
    for (const Case& c : cases) {
        const std::string casUrl = std::string("http://") + c.host + "/cas";
        ASSERT_EQ(QORSysSetCookie(casUrl.c_str(), "CASTGC=TGT-old", 1), 0) << c.host;
        RecordingDriverFactory factory;
        factory.status = c.status;
        factory.body = R"({"username":"ivan"})";
        factory.length = factory.body.size();
        EXPECT_EQ(QORSysSetCookie(casUrl.c_str(), "CASTGC=TGT-new", 0), 0) << c.host;
        EXPECT_NE(factory.Lines().find(" Get http://" + std::string(c.host) + "/cas/api/authenticated/user/me "),
                  std::string::npos)
            << c.host;
        EXPECT_NE(StoredCookies(casUrl.c_str()).find(c.kept), std::string::npos) << c.host;
        // What reached the WinINet jar goes again.
        QORSysSetCookie(casUrl.c_str(), "CASTGC=; expires=Thu, 01 Jan 1970 00:00:00 GMT", 2);
    }
}

// A check of a CAS url that carries a ticket, with the HTTP trace on.
VAROMET_CHILD_CASE(CasCheckTraced) {
    RecordingDriverFactory factory;
    CheckOutputs outputs;
    CheckIfCASValid("http://cas-traced.test/cas?ticket=ST-77-casticket#ST-78-fragment", &outputs.userName,
                    &outputs.email, &outputs.body, 0);
    return 0;
}

TEST(CheckIfCASValidTrace, TheTracedCasUrlStopsBeforeItsQuery) {
    TestFolder folder;
    const ChildProcess::Result child =
        ChildProcess::Run("CasCheckTraced", {{L"ZYNSysTrace", L"-fhttp.txt HTTP"}, {L"QORTraDecDir", std::nullopt},
                                             {L"QORTemp", std::nullopt}, {L"QORTraceDir", folder.Path()}});
    ASSERT_TRUE(child.started) << child.output;
    EXPECT_EQ(child.exitCode, 0u) << child.output;
    WIN32_FIND_DATAW entry;
    ZYNSysFindHandle search(::FindFirstFileW((folder.Path() + L"\\ZYNSysTrace\\D*").c_str(), &entry));
    ASSERT_TRUE(search) << "no trace folder";
    std::ifstream in((folder.Path() + L"\\ZYNSysTrace\\" + entry.cFileName + L"\\http.txt").c_str(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    const std::string trace = text.str();
    EXPECT_NE(trace.find("CheckIfCASValid CASURL=<http://cas-traced.test/cas>\r\n"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("ST-7"), std::string::npos) << trace;
}

}  // namespace
