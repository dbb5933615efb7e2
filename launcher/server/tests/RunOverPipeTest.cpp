// The op "run" served by the real program on its pipe: the reply's exact bytes.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "LauncherTestSupport.h"

namespace {

TEST(RunOverPipe, ActionsAnswerWithTheirCodeAndContent) {
    TestFolder folder;
    const std::wstring pipe = UniquePipeName();
    const std::string helper = JsonQuoted(Narrow(BuiltProgram(VAROMET_EXEC_HELPER_EXE)));
    const std::string made = JsonQuoted(Narrow(folder.In(L"x\\y")));
    struct Case {
        std::string args;
        std::string reply;
    } cases[] = {
        {"{\"action\": \"Execute\", \"cmd\": [" + helper + ", \"exit\", \"3\"], \"timeout\": 20000}",
         "{\"rc\": 0, \"content\": 3}"},
        {"{\"action\": \"Execute\", \"cmd\": [" + helper + ", 2], \"timeout\": 20000}", ReplyText(158)},
        {"{\"action\": \"mkdir\", \"path\": " + made + "}", "{\"rc\": 0, \"content\": true}"},
        {"[\"mkdir\"]", ReplyText(15)},
        {"{\"path\": " + made + "}", ReplyText(149)},
    };
    Launcher launcher(folder, {L"run", pipe});
    for (const Case& c : cases) {
        Reply reply = Exchange(pipe, "{\"op\": \"run\", \"args\": " + c.args + "}");
        EXPECT_EQ(reply.error, 0u) << c.args;
        EXPECT_EQ(reply.text, c.reply) << c.args;
    }
    EXPECT_TRUE(std::filesystem::is_directory(folder.In(L"x\\y")));
    PipeClient client;
    ASSERT_EQ(client.Open(pipe), 0u);
    EXPECT_EQ(client.Write("STOP"), 0u);
    EXPECT_EQ(launcher.WaitForExit(15000), 0u) << launcher.Output();
}

}  // namespace

namespace {

// Without the keep option every action gets a folder of its own below the launcher's unzip
// folder; under Wine the shell cannot open the archive, and the failure is reported.
TEST(RunOverPipe, UnzipUsesAFolderOfItsOwnAndReportsIt) {
    TestFolder folder;
    {
        std::ofstream out(std::filesystem::path(folder.In(L"a.zip")), std::ios::binary);
        out << TinyZip();
    }
    const std::wstring pipe = UniquePipeName();
    const std::string zip = JsonQuoted(Narrow(folder.In(L"a.zip")));
    Launcher launcher(folder, {L"run", pipe});
    const std::regex answer(R"re(\{"rc": (\d+), "content": \{"rc": (\d+), "output": "(.*)"\}\})re");
    std::vector<std::string> outputs;
    for (int i = 0; i < 2; ++i) {
        Reply reply = Exchange(pipe, "{\"op\": \"run\", \"args\": {\"action\": \"Unzip\", \"target\": " + zip + "}}");
        ASSERT_EQ(reply.error, 0u);
        std::smatch match;
        ASSERT_TRUE(std::regex_match(reply.text, match, answer)) << reply.text;
        EXPECT_EQ(match[1].str(), "169") << reply.text;
        EXPECT_EQ(match[2].str(), "2") << reply.text;
        outputs.push_back(match[3].str());
    }
    EXPECT_NE(outputs[0], outputs[1]) << "two actions shared one folder";
    // As written in JSON: each separator doubled.
    const std::string quotedRoot = JsonQuoted(Narrow(folder.Path()));
    const std::string root = quotedRoot.substr(1, quotedRoot.size() - 2);
    for (const std::string& output : outputs) {
        EXPECT_EQ(output.rfind(root, 0), 0u) << output;
        EXPECT_NE(output.find("\\\\Unzip\\\\"), std::string::npos) << output;
    }
    Reply missing = Exchange(pipe, "{\"op\": \"run\", \"args\": {\"action\": \"Unzip\"}}");
    EXPECT_NE(missing.text.find("{\"rc\": 171, \"content\": {\"rc\": 1, \"output\": \""), std::string::npos)
        << missing.text;
    PipeClient client;
    ASSERT_EQ(client.Open(pipe), 0u);
    EXPECT_EQ(client.Write("STOP"), 0u);
    EXPECT_EQ(launcher.WaitForExit(15000), 0u);
    EXPECT_NE(launcher.Output().find("}Failed to open Zip file"), std::string::npos) << launcher.Output();
}

}  // namespace
