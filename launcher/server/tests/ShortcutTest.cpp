// The run action "mkshortcut" in test mode: links written to WEX_TRQ_TMP and read back
// through the shell's own link object.

#include <gtest/gtest.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "Backbone.h"
#include "ChildProcess.h"
#include "ComSupport.h"
#include "Config.h"
#include "LauncherTestSupport.h"

namespace {

// Test mode is process-wide: each request runs in a fresh child, which takes the action's
// members from the parent.
VAROMET_CHILD_CASE(MakeShortcutInTestMode) {
    wchar_t buffer[4096] = {};
    DWORD got = ::GetEnvironmentVariableW(L"VAROMET_TEST_CONF", buffer, 4096);
    if (got == 0 || got >= 4096) return 90;
    Config::Init(Narrow(buffer));
    if (::GetEnvironmentVariableW(L"VAROMET_TEST_DESKTOP", nullptr, 0) == 0) Config::ActivateOption(65);
    got = ::GetEnvironmentVariableW(L"VAROMET_TEST_ACTION", buffer, 4096);
    if (got == 0 || got >= 4096) return 91;
    JSON::ValuePtr content;
    const int rc = Backbone::Process("{\"op\": \"run\", \"args\": " + Narrow(buffer) + "}", content);
    std::printf("\nRESULT %d %s\n", rc, content ? content->Dump().c_str() : "<none>");
    std::fflush(stdout);
    return 0;
}

constexpr const char* kFailed = "-2147467259";  // E_FAIL

struct Answer {
    int rc = -1;
    std::string content;
};

// members: the action's members after "action"; folder: WEX_TRQ_TMP, unset when empty.
Answer MakeShortcut(const TestFolder& conf, const std::string& members, const std::wstring& folder) {
    ::SetEnvironmentVariableW(L"VAROMET_TEST_CONF", conf.In(L"launcher.conf").c_str());
    ::SetEnvironmentVariableW(L"VAROMET_TEST_ACTION", Widen("{\"action\": \"mkshortcut\", " + members + "}").c_str());
    ::SetEnvironmentVariableW(L"WEX_TRQ_TMP", folder.empty() ? nullptr : folder.c_str());
    ChildProcess::Result run = ChildProcess::Run("MakeShortcutInTestMode");
    ::SetEnvironmentVariableW(L"WEX_TRQ_TMP", nullptr);
    ::SetEnvironmentVariableW(L"VAROMET_TEST_ACTION", nullptr);
    Answer answer;
    const std::size_t at = run.output.rfind("\nRESULT ");
    if (!run.started || at == std::string::npos) {
        answer.content = "no result: " + run.output;
        return answer;
    }
    char text[256] = {};
    std::sscanf(run.output.c_str() + at, "\nRESULT %d %255s", &answer.rc, text);
    answer.content = text;
    return answer;
}

struct Link {
    HRESULT loaded = E_FAIL;
    std::wstring target, arguments, description, icon;
    int iconIndex = -7;
};

Link LoadLink(const std::wstring& file) {
    Link link;
    ComApartment apartment;
    ComPtr<IShellLinkW> shell;
    link.loaded = ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, shell.OutVoid());
    if (FAILED(link.loaded)) return link;
    ComPtr<IPersistFile> persist;
    link.loaded = shell->QueryInterface(IID_IPersistFile, persist.OutVoid());
    if (FAILED(link.loaded)) return link;
    link.loaded = persist->Load(file.c_str(), STGM_READ);
    if (FAILED(link.loaded)) return link;
    wchar_t buffer[MAX_PATH * 4] = {};
    if (SUCCEEDED(shell->GetPath(buffer, MAX_PATH, nullptr, SLGP_RAWPATH))) link.target = buffer;
    buffer[0] = 0;
    if (SUCCEEDED(shell->GetArguments(buffer, MAX_PATH * 4))) link.arguments = buffer;
    buffer[0] = 0;
    if (SUCCEEDED(shell->GetDescription(buffer, MAX_PATH * 4))) link.description = buffer;
    buffer[0] = 0;
    if (SUCCEEDED(shell->GetIconLocation(buffer, MAX_PATH, &link.iconIndex))) link.icon = buffer;
    return link;
}

std::size_t LinksIn(const std::wstring& folder) {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() == L".lnk") ++count;
    }
    return count;
}

class Shortcuts : public ::testing::Test {
protected:
    void SetUp() override {
        target = folder.In(L"prog.exe");
        std::ofstream(std::filesystem::path(target), std::ios::binary) << "MZ";
    }
    std::string Target() const { return JsonQuoted(Narrow(target)); }

    TestFolder folder;
    TestFolder conf;
    std::wstring target;
};

TEST_F(Shortcuts, WritesTheLinkWithTargetArgumentsDescriptionAndIcon) {
    struct Case {
        std::string members;
        const wchar_t* file;
        std::wstring target, arguments, description, icon;
        int iconIndex;
    } cases[] = {
        {"\"cmd\": [" + Target() + ", \"-a\", \"b c\"], \"scName\": \"Full\", \"scDesc\": \"A desk link\", "
         "\"iconPath\": \"C:\\\\icons\\\\app.ico\", \"iconIndex\": 3",
         L"Full", target, L"-a b c", L"A desk link", L"C:\\icons\\app.ico", 3},
        // One entry: empty arguments; an empty description is not set; -1 sets no icon.
        {"\"cmd\": [" + Target() + "], \"scName\": \"Bare\", \"scDesc\": \"\", \"iconPath\": \"C:\\\\i.ico\", "
         "\"iconIndex\": -1",
         L"Bare", target, L"", L"", L"", 0},
        // Numbers are taken as their text.
        {"\"cmd\": [" + Target() + ", 42], \"scName\": \"Numbered\", \"iconPath\": \"C:\\\\i.ico\"", L"Numbered", target,
         L"42", L"", L"C:\\i.ico", 0},
        // A target that does not exist yet still gives a link.
        {"\"cmd\": [" + JsonQuoted(Narrow(folder.In(L"later.exe"))) +
             "], \"scName\": \"Later\", \"iconPath\": \"C:\\\\i.ico\", \"iconIndex\": 0",
         L"Later", folder.In(L"later.exe"), L"", L"", L"C:\\i.ico", 0},
    };
    for (const Case& c : cases) {
        const Answer answer = MakeShortcut(conf, c.members, folder.Path());
        EXPECT_EQ(answer.rc, 0) << c.members;
        EXPECT_EQ(answer.content, "0") << c.members;
        const Link link = LoadLink(folder.In(std::wstring(c.file) + L".lnk"));
        ASSERT_EQ(link.loaded, S_OK) << c.members;
        EXPECT_EQ(_wcsicmp(link.target.c_str(), c.target.c_str()), 0) << Narrow(link.target);
        EXPECT_EQ(link.arguments, c.arguments) << c.members;
        EXPECT_EQ(link.description, c.description) << c.members;
        EXPECT_EQ(link.icon, c.icon) << c.members;
        EXPECT_EQ(link.iconIndex, c.iconIndex) << c.members;
    }
}

TEST_F(Shortcuts, RefusesMissingArgumentsAndNamesThatLeaveTheFolder) {
    const std::string tail = "\"iconPath\": \"C:\\\\i.ico\", \"iconIndex\": 0";
    const std::string cmd = "\"cmd\": [" + Target() + "], ";
    const std::string cases[] = {
        cmd + "\"scName\": \"\", " + tail,
        cmd + "\"scName\": \"NoIcon\", \"iconPath\": \"\"",
        "\"cmd\": [], \"scName\": \"NoCmd\", " + tail,
        "\"scName\": \"NoCmdMember\", " + tail,
        cmd + "\"scName\": \"..\\\\..\\\\Up\", " + tail,
        cmd + "\"scName\": \"../Up\", " + tail,
        cmd + "\"scName\": \"C:Up\", " + tail,
        cmd + "\"scName\": \"Up*\", " + tail,
        cmd + "\"scName\": \"Up?\", " + tail,
        cmd + "\"scName\": \"Up\\\"\", " + tail,
        cmd + "\"scName\": \"<Up\", " + tail,
        cmd + "\"scName\": \"Up>\", " + tail,
        cmd + "\"scName\": \"U|p\", " + tail,
        cmd + "\"scName\": \"U\\u0001p\", " + tail,
        cmd + "\"scName\": \"U\\tp\", " + tail,
        cmd + "\"scName\": \".\", " + tail,
        cmd + "\"scName\": \"..\", " + tail,
    };
    for (const std::string& members : cases) {
        const Answer answer = MakeShortcut(conf, members, folder.Path());
        EXPECT_EQ(answer.rc, 0) << members;
        EXPECT_EQ(answer.content, kFailed) << members;
    }
    EXPECT_EQ(LinksIn(folder.Path()), 0u);
    EXPECT_EQ(LinksIn(folder.In(L"..")), 0u);
    EXPECT_EQ(LinksIn(folder.In(L"..\\..")), 0u);
}

TEST_F(Shortcuts, TestModeWithoutItsFolderWritesNothing) {
    const Answer answer = MakeShortcut(
        conf, "\"cmd\": [" + Target() + "], \"scName\": \"VarometRootLink\", \"iconPath\": \"C:\\\\i.ico\"", L"");
    EXPECT_EQ(answer.rc, 0);
    EXPECT_EQ(answer.content, kFailed);
    EXPECT_FALSE(std::filesystem::exists(L"\\VarometRootLink.lnk"));
    EXPECT_EQ(LinksIn(folder.Path()), 0u);
}

// Out of test mode the link goes to the account's Desktop (a folder of the test prefix).
TEST_F(Shortcuts, OutOfTestModeWritesToTheDesktop) {
    PWSTR known = nullptr;
    ASSERT_EQ(::SHGetKnownFolderPath(FOLDERID_Desktop, 0, nullptr, &known), S_OK);
    const std::wstring desktop = known;
    ::CoTaskMemFree(known);
    const std::wstring name = L"VarometDesktopLink" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring file = desktop + L"\\" + name + L".lnk";
    ::SetEnvironmentVariableW(L"VAROMET_TEST_DESKTOP", L"1");
    const Answer answer = MakeShortcut(
        conf, "\"cmd\": [" + Target() + "], \"scName\": \"" + Narrow(name) + "\", \"iconPath\": \"C:\\\\i.ico\"",
        folder.Path());
    ::SetEnvironmentVariableW(L"VAROMET_TEST_DESKTOP", nullptr);
    const Link link = LoadLink(file);
    ::DeleteFileW(file.c_str());
    EXPECT_EQ(answer.rc, 0);
    EXPECT_EQ(answer.content, "0");
    EXPECT_EQ(link.loaded, S_OK);
    EXPECT_EQ(_wcsicmp(link.target.c_str(), target.c_str()), 0) << Narrow(link.target);
    EXPECT_EQ(LinksIn(folder.Path()), 0u);
}

}  // namespace
