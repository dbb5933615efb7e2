// Request texts holding a NUL, served by the real program on its pipe: the platform would read
// them only up to the NUL, so each is refused with its op's own code, and the file named
// before the NUL stays as it was.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "LauncherTestSupport.h"
#include "LocalHttpServer.h"

namespace {

// The file's content, "<absent>" or "<folder>".
std::string StateOf(const std::wstring& path) {
    if (std::filesystem::is_directory(path)) return "<folder>";
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    if (!in) return "<absent>";
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The JSON string of the text, then tail (JSON text, such as \u0000) before its closing quote.
std::string With(const std::string& text, const char* tail = "") {
    const std::string quoted = JsonQuoted(text);
    return quoted.substr(0, quoted.size() - 1) + tail + "\"";
}

std::string Download(const std::string& dest, const std::string& link, const char* hash) {
    return R"({"op": "run", "args": {"action": "DownloadMedia", "dest": )" + dest +
           R"(, "mi": {"fileName": "media.bin", "downloadLink": )" + link + R"(, "hash": ")" + hash +
           R"(", "size": "6"}}})";
}

std::string RunAction(const std::string& members) { return R"({"op": "run", "args": {)" + members + "}}"; }

std::string Content(const std::string& content) { return "{\"rc\": 0, \"content\": " + content + "}"; }

TEST(NulText, EveryTextThePlatformWouldCutIsRefusedAndTheFileBeforeTheNulIsUntouched) {
    TestFolder folder;
    const auto in = [&](const wchar_t* name) { return Narrow(folder.In(name)); };
    std::ofstream(std::filesystem::path(folder.In(L"victim.bin")), std::ios::binary) << "victim";
    std::ofstream(std::filesystem::path(folder.In(L"notes")), std::ios::binary) << "notes";
    std::ofstream(std::filesystem::path(folder.In(L"there.bin")), std::ios::binary) << "there";
    std::ofstream(std::filesystem::path(folder.In(L"a.zip")), std::ios::binary) << TinyZip();
    ::CreateDirectoryW(folder.In(L"served").c_str(), nullptr);
    LocalHttpServer server(folder.In(L"served"));
    ASSERT_NE(server.Port(), 0) << server.Error();
    RecordingWindow window(UniqueClassName());
    const std::string helper = Narrow(BuiltProgram(VAROMET_EXEC_HELPER_EXE));
    // The right hash of "victim": the lock file alone used to empty it.
    const char* const victimMd5 = "96d4976b516a16ac19d148f3b744eee1";
    const std::string victim = With(in(L"victim.bin"), R"(\u0000.x)");
    const std::string notes = With(in(L"notes"), R"(\u0000.bin)");
    const std::string inFolder = With(in(L"sub"), R"(\u0000x\\media.bin)");
    const std::string link = With(server.Url("media.bin"));
    const std::string cinfo = R"("cinfo": {"cCas": "TGT-1-x", "pVersion": "2.1", "cAuthWsUrl": )" +
                              With(server.Url("auth"), R"(\u0000x)") + "}";
    struct Case {
        const char* name;
        std::string request;
        std::string reply;   // what the reply starts with
        const wchar_t* kept;  // in the folder: the same before and after
        const char* logged;   // a line the launcher's output holds afterwards, or nothing
    } cases[] = {
        {"download over a file", Download(victim, link, victimMd5),
         Content("{\"rc\": 2, \"output\": " + victim + "}"), L"victim.bin", nullptr},
        {"download over another file", Download(notes, link, victimMd5),
         Content("{\"rc\": 2, \"output\": " + notes + "}"), L"notes", nullptr},
        // No folder is made, and none chosen in its place.
        {"download into a folder", Download(inFolder, link, victimMd5),
         Content("{\"rc\": 2, \"output\": " + inFolder + "}"), L"sub", nullptr},
        {"download link", Download(With(in(L"there.bin")), With(server.Url("media.bin"), R"(\u0000x)"), "00"),
         Content("{\"rc\": 2, \"output\": " + With(in(L"there.bin")) + "}"), L"there.bin", nullptr},
        {"mkdir", RunAction(R"("action": "mkdir", "path": )" + With(in(L"made"), R"(\u0000x)")), Content("false"), L"made",
         nullptr},
        {"checkFile", RunAction(R"("action": "checkFile", "path": )" + With(in(L"a.zip"), R"(\u0000.x)")),
         Content("false"), L"a.zip", nullptr},
        {"Unzip", RunAction(R"("action": "Unzip", "target": )" + With(in(L"a.zip"), R"(\u0000.x)")),
         "{\"rc\": 169, \"content\": {\"rc\": 2, \"output\": ", L"a.zip",
         "[Operations::Local::Unzip]Zip file path is invalid, it does not denote a existing zip file : "},
        {"CallWS url", RunAction(R"("action": "CallWS", "url": )" + With(server.Url("ws"), R"(\u0000x)")), ReplyText(154),
         nullptr, nullptr},
        {"CallWS ticket url", R"({"op": "run", )" + cinfo + R"(, "args": {"action": "CallWS", "url": )" +
                                  With(server.Url("ws")) + "}}",
         ReplyText(154), nullptr, nullptr},
        {"Execute", RunAction(R"("action": "Execute", "timeout": 20000, "cmd": [)" + With(helper) + R"(, "argv", )" +
                        With(in(L"ran.txt"), R"(\u0000x)") + "]"),
         ReplyText(155), L"ran.txt", nullptr},
        {"Execute elevated", RunAction(R"("action": "Execute", "timeout": 20000, "runas": true, "cmd": [)" + With(helper) +
                                 R"(, "argv", )" + With(in(L"ran.txt")) + R"(, "\u0000"])"),
         ReplyText(155), L"ran.txt", nullptr},
        {"mkshortcut", RunAction(R"("action": "mkshortcut", "scName": "sc", "iconIndex": 0, "iconPath": )" + With(helper) +
                           R"(, "cmd": [)" + With(helper, R"(\u0000x)") + "]"),
         Content("-2147467259"), L"sc.lnk", nullptr},
        {"exe", R"({"op": "exe", "args": "C:\\a.exe\u0000 x"})", Content("44"), nullptr, nullptr},
        {"url", R"({"op": "url", "args": "https://a.example\u0000.x"})", Content("44"), nullptr, nullptr},
        {"postStatus", R"({"op": "postStatus", "args": {"wnd": )" + With(Narrow(window.ClassName()), R"(\u0000x)") +
                           R"(, "label": "1100", "wparam": "0", "lparam": "0"}})",
         ReplyText(71), nullptr, nullptr},
    };
    const std::wstring pipe = UniquePipeName();
    // Test mode: a popup would answer by itself, and the shortcut goes into the folder.
    Launcher launcher(folder, {L"run", pipe}, {{L"WEX_TRQ_UUID", L"nul-test"}});
    for (const Case& c : cases) {
        const std::string before = c.kept ? StateOf(folder.In(c.kept)) : "";
        const Reply reply = Exchange(pipe, c.request);
        EXPECT_EQ(reply.error, 0u) << c.name;
        EXPECT_EQ(reply.text.substr(0, c.reply.size()), c.reply) << c.name;
        if (c.kept) {
            EXPECT_EQ(StateOf(folder.In(c.kept)), before) << c.name;
        }
        if (c.logged) {
            EXPECT_NE(launcher.Output().find(c.logged), std::string::npos) << c.name;
        }
    }
    EXPECT_TRUE(server.Requests().empty()) << "a request went out";
    EXPECT_TRUE(window.WaitForMessages(1, 1000).empty()) << "a message was posted";
    PipeClient client;
    ASSERT_EQ(client.Open(pipe), 0u);
    EXPECT_EQ(client.Write("STOP"), 0u);
    EXPECT_EQ(launcher.WaitForExit(15000), 0u) << launcher.Output();
}

}  // namespace
