// Control bytes of a request never reach the log raw: every byte below 0x20 but TAB, and DEL,
// in every field of a request that the log shows, sent through the pipe of the launcher in run
// mode. Afterwards neither the daily log nor the console holds such a byte, no line of either
// begins with a stamp the client wrote, and each field shows where the log shows it, escaped.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "LauncherTestSupport.h"
#include "LocalHttpServer.h"

namespace {

namespace fs = std::filesystem;

constexpr DWORD kExitWait = 15000;
const std::string kForged = "<2001_01_01-000000.000+0000i>(4242){ERROR}:[Backbone::Run]FORGED";

// A byte as a request carries it and as the log shows it.
struct Byte {
    const char* name;
    char raw;
    const char* shown;
};
const Byte kBytes[] = {{"NUL", '\0', "\\0"},     {"BEL", '\a', "\\x07"},   {"BS", '\b', "\\x08"},
                       {"ESC", '\x1B', "\\x1B"}, {"0x01", '\x01', "\\x01"}, {"0x1F", '\x1F', "\\x1F"},
                       {"DEL", '\x7F', "\\x7F"}, {"CR", '\r', "\\r"},       {"LF", '\n', "\\n"}};

// The text as a JSON string literal, every control byte and DEL as \u00XX.
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", u);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// The bytes of the log that no client text may bring: control bytes but TAB, CR and LF, and DEL.
std::string StrayBytes(const std::string& text) {
    std::string found;
    for (std::size_t at = 0; at < text.size() && found.size() < 200; ++at) {
        const auto u = static_cast<unsigned char>(text[at]);
        if ((u < 0x20 && u != '\t' && u != '\r' && u != '\n') || u == 0x7F) {
            found += "0x" + std::to_string(u) + " at " + std::to_string(at) + ": ..." +
                     text.substr(at > 60 ? at - 60 : 0, 60) + "...\n";
        }
    }
    return found;
}

// The lines that begin with the client's stamp.
std::string ForgedLines(const std::string& text) {
    std::string found;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at);
        if (line.starts_with("<2001_01_01")) found += line + "\n";
        at = end + 1;
    }
    return found;
}

class LogControlBytes : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(server.Port(), 0) << server.Error();
        std::ofstream(fs::path(folder.In(L"launcher.conf")), std::ios::binary) << "LOGLEVEL=all\n";
        std::ofstream(fs::path(folder.In(L"real.msi")), std::ios::binary) << "not really";
    }

    // Each daily log of the folder: its path and its text.
    std::vector<std::pair<std::string, std::string>> DailyLogs() const {
        std::vector<std::pair<std::string, std::string>> logs;
        for (const auto& entry : fs::recursive_directory_iterator(folder.Path())) {
            if (entry.is_regular_file() && entry.path().extension() == ".txt")
                logs.emplace_back(entry.path().string(), ReadAll(entry.path()));
        }
        return logs;
    }

    // Test mode (plain http, popups answered at once), everything logged.
    EnvList Environment() const {
        return {{L"TrqConfPath", folder.In(L"launcher.conf")}, {L"WEX_TRQ_UUID", L"log-control-bytes"}};
    }

    void ExpectCleanLogs(const std::string& output) {
        const auto logs = DailyLogs();
        ASSERT_GE(logs.size(), 1u) << "no daily log";
        for (const auto& [where, text] : logs) {
            EXPECT_EQ(StrayBytes(text), "") << where;
            EXPECT_EQ(ForgedLines(text), "") << where;
        }
        EXPECT_EQ(StrayBytes(output), "") << "console";
        EXPECT_EQ(ForgedLines(output), "") << "console";
    }

    // Stops the launcher, checks every output for stray bytes and forged lines, and answers the
    // one daily log.
    std::string StopAndReadTheLog(Launcher& launcher, const std::wstring& name) {
        PipeClient client;
        EXPECT_EQ(client.Open(name), 0u);
        EXPECT_EQ(client.Write("STOP"), 0u);
        EXPECT_EQ(launcher.WaitForExit(kExitWait), 0u);
        ExpectCleanLogs(launcher.Output());
        const auto logs = DailyLogs();
        EXPECT_EQ(logs.size(), 1u) << "one daily log";
        return logs.empty() ? std::string() : logs[0].second;
    }

    TestFolder folder;
    std::wstring served = [this] {
        fs::create_directories(fs::path(folder.In(L"srv")));
        return folder.In(L"srv");
    }();
    LocalHttpServer server{served};
    const std::wstring pipe = UniquePipeName();
};

// How a field's value is made from a byte and a line feed: the raw value with the byte itself,
// the logged one with their escapes.
using Value = std::function<std::string(const std::string& byte, const std::string& lineFeed)>;

struct Field {
    const char* name;
    Value value;
    std::function<std::string(const std::string& value)> request;
    // The piece of the log that shows the value (as logged), for a NUL or another byte.
    std::function<std::string(const std::string& shown, bool nul)> logged;
};

TEST_F(LogControlBytes, NoRequestFieldBringsAControlByteOrALineOfItsOwnIntoTheLog) {
    const std::string dir = folder.Utf8();
    const std::string service = server.Url("status=404/service");
    const std::string media = server.Url("status=404/media.bin");
    // The marker names the field and the byte; then the byte, a line feed and a line of the log's form.
    const auto plain = [](const char* marker) {
        return [marker](const std::string& byte, const std::string& lineFeed) {
            return std::string(marker) + byte + lineFeed + kForged;
        };
    };
    const auto run = [](const std::string& action) { return R"({"op":"run","args":{"action":)" + action + "}}"; };
    const Value wnd = plain("wnd");
    const auto always = [](const char* before) {
        return [before](const std::string& shown, bool) { return before + shown; };
    };
    const Field fields[] = {
        {"a request that is no JSON", plain("request"), [](const std::string& v) { return v; },
         always("[Backbone::threadFunc] msg content : ")},
        {"op", plain("op"), [](const std::string& v) { return R"({"op":)" + JsonString(v) + R"(,"args":null})"; },
         always("[Backbone::Process]operation To do : [")},
        {"action", plain("action"), [&](const std::string& v) { return run(JsonString(v)); },
         always("[Backbone::Process] action to run : ")},
        {"mkdir path", plain("mkdir"),
         [&](const std::string& v) { return run(R"("mkdir","path":)" + JsonString(dir + "\\" + v)); },
         [&](const std::string& shown, bool nul) {
             return (nul ? "[Operations::Local::MakeFolder]not a usable path : "
                         : "[Operations::Local::MakeFolder]try to create this folder : ") +
                    dir + "\\" + shown;
         }},
        {"checkFile path", plain("check"),
         [&](const std::string& v) {
             return run(R"("checkFile","kind":0,"access":0,"path":)" + JsonString(dir + "\\" + v));
         },
         [&](const std::string& shown, bool) {
             return "[Operations::Local::CheckFile] is existe[" + dir + "\\" + shown;
         }},
        {"Unzip target", plain("zip"),
         [&](const std::string& v) { return run(R"("Unzip","target":)" + JsonString(dir + "\\" + v)); },
         [&](const std::string& shown, bool) { return "\t-[zipPath]:" + dir + "\\" + shown; }},
        {"CallWS url", plain("url"),
         [&](const std::string& v) {
             return run(R"("CallWS","noAuth":true,"arg":"","url":)" + JsonString(service + "#" + v));
         },
         [&](const std::string& shown, bool nul) {
             return (nul ? "[Utils::callWebService]an URL holds a NUL character, nothing is called : "
                         : "[Utils::callWebService] try to use this webservice : ") +
                    service + "#" + shown;
         }},
        {"CallWS arg", plain("arg"),
         [&](const std::string& v) {
             return run(R"("CallWS","noAuth":true,"url":)" + JsonString(service) + ",\"arg\":" + JsonString(v));
         },
         [&](const std::string& shown, bool) { return " with this arg:" + shown; }},
        {"DownloadMedia link", plain("link"),
         [&](const std::string& v) {
             return run(R"("DownloadMedia","dest":)" + JsonString(dir + "\\media.bin") +
                        R"(,"mi":{"fileName":"media.bin","hash":"00","size":"1","downloadLink":)" +
                        JsonString(media + "#" + v) + "}");
         },
         [&](const std::string& shown, bool) { return "downloadLink=" + media + "#" + shown + ", desc="; }},
        // The download's first line: its output is the request's destination.
        {"DownloadMedia dest", plain("dest"),
         [&](const std::string& v) {
             return run(R"("DownloadMedia","dest":)" + JsonString(dir + "\\" + v) +
                        R"(,"mi":{"fileName":"media.bin","hash":"00","size":"1","downloadLink":)" + JsonString(media) +
                        "}");
         },
         [&](const std::string& shown, bool) { return "\t-[output]:" + dir + "\\" + shown + "\n"; }},
        {"postStatus wnd", wnd,
         [](const std::string& v) {
             return R"({"op":"postStatus","args":{"label":"1025","wparam":"0","lparam":"0","wnd":)" + JsonString(v) +
                    "}}";
         },
         [](const std::string& shown, bool nul) {
             return nul ? std::string("[Backbone::Process]JSON field [wnd] holds a NUL character !")
                        : "[Backbone::Process]Posting to window(" + shown + ") : msg[1025]";
         }},
        {"postStatus args text", plain("post"),
         [](const std::string& v) { return R"({"op":"postStatus","args":)" + JsonString(v) + "}"; },
         always("[Backbone::Process]Fail to parse raw JSON string : '")},
        {"cId", plain("id"),
         [](const std::string& v) {
             return R"({"cinfo":{"cId":)" + JsonString(v) + R"(,"pVersion":"1.0"},"op":"nosuchop","args":null})";
         },
         always("OrdanaRequestInfo[ordanaId='")},
        {"pVersion of three fields",
         [](const std::string& b, const std::string& lf) { return "1.2.v" + b + lf + kForged; },
         [](const std::string& v) {
             return R"({"cinfo":{"cId":"a","pVersion":)" + JsonString(v) + R"(},"op":"nosuchop","args":null})";
         },
         always("[OrdanaRequestInfo::build]Invalid DaemonVersion definition string  [")},
        // The stamp's own '.' splits the version: the major part ends with the stamp's seconds.
        {"pVersion major", plain("major"),
         [](const std::string& v) {
             return R"({"cinfo":{"cId":"a","pVersion":)" + JsonString(v) + R"(},"op":"nosuchop","args":null})";
         },
         [](const std::string& shown, bool) {
             return "[DaemonVersion::Parse]{Major} index string to parse: " + shown.substr(0, shown.find('.'));
         }},
        {"pVersion minor",
         [](const std::string& b, const std::string& lf) { return "1.minor" + b + lf + "<2001_01_01-000000>FORGED"; },
         [](const std::string& v) {
             return R"({"cinfo":{"cId":"a","pVersion":)" + JsonString(v) + R"(},"op":"nosuchop","args":null})";
         },
         [](const std::string& shown, bool) {
             return "[DaemonVersion::Parse]{Minor} index string to parse: " + shown.substr(2);
         }},
        {"Execute cmd", plain("cmd"),
         [&](const std::string& v) { return run(R"("Execute","timeout":1000,"cmd":[)" + JsonString(v) + "]"); },
         always("[Backbone::Process] cmd to execute : ")},
        {"mkshortcut scName", plain("shortcut"),
         [&](const std::string& v) {
             return run(R"("mkshortcut","cmd":["x.exe"],"scDesc":"d","iconPath":"i.ico","iconIndex":0,"scName":)" +
                        JsonString(v));
         },
         always("-[scName]: ")},
        {"exe", plain("exe"), [](const std::string& v) { return R"({"op":"exe","args":)" + JsonString(v) + "}"; },
         [](const std::string& shown, bool nul) {
             return (nul ? "[Backbone::Process]not asked, the text holds a NUL character : "
                         : "[Backbone::Process]Asking user to validate Application executable : ") +
                    shown;
         }},
        {"url", plain("popup"), [](const std::string& v) { return R"({"op":"url","args":)" + JsonString(v) + "}"; },
         [](const std::string& shown, bool nul) {
             return (nul ? "[Backbone::Process]not asked, the text holds a NUL character : "
                         : "[Backbone::Process]Asking user to validate the use of external URL for encryption : ") +
                    shown;
         }},
        // A folder that the path leaves again: the file exists, so the path is taken.
        {"update MSI path", plain("msi"),
         [&](const std::string& v) {
             // The log's path is a folder: refused right after the MSI's path is logged.
             return R"({"op":"update","args":[)" + JsonString(dir + "\\" + v + "\\..\\real.msi") + "," +
                    JsonString(dir) + "," + JsonString(dir) + ",\"1\"]}";
         },
         [&](const std::string& shown, bool nul) {
             return (nul ? "[Backbone::Process]invalid UPDATE argument item ! MSI path '"
                         : "[Backbone::Process] Msi Path : ") +
                    dir + "\\" + shown + "\\..\\real.msi";
         }},
    };

    // A window of each class a postStatus names, so that each is posted to at once.
    std::vector<std::unique_ptr<RecordingWindow>> windows;
    for (const Byte& b : kBytes) {
        if (b.raw == '\0') continue;
        windows.push_back(std::make_unique<RecordingWindow>(Widen(wnd(std::string(1, b.raw), "\n"))));
        ASSERT_NE(windows.back()->Handle(), nullptr) << b.name;
    }

    Launcher launcher(folder, {L"run", pipe}, Environment());
    std::vector<std::pair<std::string, std::string>> expected;  // the case and the piece of the log
    for (const Field& f : fields) {
        for (const Byte& b : kBytes) {
            const std::string name = std::string(f.name) + ", " + b.name;
            const Reply reply = Exchange(pipe, f.request(f.value(std::string(1, b.raw), "\n")));
            EXPECT_EQ(reply.error, 0u) << name;
            EXPECT_NE(reply.text.find("\"rc\": "), std::string::npos) << name << ": " << reply.text;
            expected.emplace_back(name, f.logged(f.value(b.shown, "\\n"), b.raw == '\0'));
        }
    }
    std::string text = StopAndReadTheLog(launcher, pipe);
    std::erase(text, '\r');
    for (const auto& [name, piece] : expected) EXPECT_NE(text.find(piece), std::string::npos) << name << ": " << piece;
}

}  // namespace

namespace {

// The pipe's name comes from the command line: the stop logs it.
TEST_F(LogControlBytes, ThePipeNameOfTheCommandLineIsLoggedEscaped) {
    const std::wstring name = pipe + L"\x01\a\b\x1B\x1F\x7F\r\n" + Widen(kForged);
    Launcher launcher(folder, {L"run", name}, Environment());
    ASSERT_TRUE(WaitForPipe(name, kExitWait)) << launcher.Output();
    const std::string log = StopAndReadTheLog(launcher, name);
    EXPECT_NE(log.find("[Backbone::Stop]Retrieveing Local pipe[" + Narrow(pipe) +
                       "\\x01\\x07\\x08\\x1B\\x1F\\x7F\\r\\n" + kForged + "] handle ..."),
              std::string::npos)
        << log;
}

}  // namespace
