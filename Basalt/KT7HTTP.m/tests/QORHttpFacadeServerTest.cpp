// The facades over their default WinINet driver against the local test server: which body
// comes back through each, kept error bodies, and the body mode a wrapper leaves behind.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "LocalHttpServer.h"
#include "QORHttpDirectFacade.h"
#include "QORHttpPrompt.h"
#include "TestFolder.h"

namespace {

// No request here may reach the real dialog: the test display would leave it waiting.
class RefusingPrompt final : public QORHttpPrompt {
public:
    DWORD Ask(HINTERNET, DWORD error, HWND) override { return error; }
};

class FacadeOverWinInet : public ::testing::Test {
protected:
    void SetUp() override {
        ::SetEnvironmentVariableA("HTTPDriver", nullptr);
        std::filesystem::create_directories(served);
        std::ofstream(std::filesystem::path(served) / "small.txt", std::ios::binary) << "small body";
        ASSERT_NE(server.Port(), 0) << server.Error();
    }

    TestFolder folder;
    std::wstring served = folder.In(L"www");
    LocalHttpServer server{served};
    RefusingPrompt prompt;
    QORHttpScopedPrompt installedPrompt{prompt};
};

struct Body {
    ~Body() { std::free(text); }
    char* text = nullptr;
    std::uint64_t length = 0;
};

TEST_F(FacadeOverWinInet, TheBaseReadsOnlyKeptErrorBodiesAndTheDirectFacadeEveryBody) {
    const struct Case {
        const char* name;
        bool direct;
        const char* path;
        std::uint32_t keepErrorBody;
        HRESULT result;
        const char* body;
    } cases[] = {
        {"base, 200: the body stays for Download", false, "small.txt", 0, 0, nullptr},
        {"base, 404 not kept", false, "missing.bin", 0, -404, nullptr},
        {"base, 404 kept: Download's answer", false, "missing.bin", 1, 0, "no such file\n"},
        {"base, 400 kept: never read", false, "small.txt?status=400", 1, -400, nullptr},
        {"direct, 200", true, "small.txt", 0, 0, "small body"},
        {"direct, 404 not kept", true, "missing.bin", 0, -404, nullptr},
    };
    for (const Case& c : cases) {
        std::unique_ptr<QORHttpFacade> facade =
            c.direct ? std::unique_ptr<QORHttpFacade>(new QORHttpDirectFacade("facade test", 1, 1))
                     : std::make_unique<QORHttpFacade>("facade test", 1, 1, 0);
        ASSERT_EQ(facade->SetOptions(QORHTTP_KEEP_ERROR_BODY, &c.keepErrorBody, sizeof c.keepErrorBody), 0) << c.name;
        Body body;
        EXPECT_EQ(facade->GetWithBody(server.Url(c.path).c_str(), 0x400000, &body.text, &body.length, nullptr),
                  c.result)
            << c.name;
        EXPECT_STREQ(body.text, c.body) << c.name;
    }
}

TEST_F(FacadeOverWinInet, TheBodyModeOfAGetStaysInTheDriverUntilSetBack) {
    QORHttpDirectFacade facade("facade test", 1, 1);
    const std::string url = server.Url("small.txt");
    ASSERT_EQ(facade.Get(url.c_str(), 0x400000, nullptr), 0);
    Body afterGet;
    EXPECT_EQ(facade.GetWithBody(url.c_str(), 0x400000, &afterGet.text, &afterGet.length, nullptr), 0);
    EXPECT_EQ(afterGet.text, nullptr);
    const std::uint32_t wholeBody = 1;
    ASSERT_EQ(facade.SetOptions(QORHTTP_OPTION_BODY_MODE, &wholeBody, sizeof wholeBody), 0);
    Body afterReset;
    EXPECT_EQ(facade.GetWithBody(url.c_str(), 0x400000, &afterReset.text, &afterReset.length, nullptr), 0);
    EXPECT_STREQ(afterReset.text, "small body");
    EXPECT_EQ(afterReset.length, 10u);
}

}  // namespace
