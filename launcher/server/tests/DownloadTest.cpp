// Media downloads from a real local HTTP server (testing/http_server.py), with the progress
// recorded by a window of the tray's class in this process.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Backbone.h"
#include "ChildProcess.h"
#include "Config.h"
#include "FileAndFoldersManager.h"
#include "Globals.h"
#include "Json.h"
#include "LaunchDaemon.h"
#include "LauncherTestSupport.h"
#include "LocalHttpServer.h"
#include "LogSink.h"
#include "MediaInfo.h"
#include "OrdanaRequestInfo.h"
#include "QORHttpPrompt.h"
#include "Sleeper.h"
#include "ToolBox.h"
#include "Utils.h"
#include "ZYNSysKernelHandle.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::size_t kMediaSize = 1 << 20;

// The long waits (5000 ms between tries, lock polls) shrink to a few milliseconds.
class FastSleeper final : public Sleeper {
public:
    void Sleep(std::uint32_t milliseconds) override {
        asked += milliseconds;
        ::Sleep(std::min<std::uint32_t>(milliseconds, 5));
    }
    std::atomic<std::uint64_t> asked{0};
};

// Plain http is opened without the secure flag only in test mode; every test here wants it.
void EnableTestMode() {
    static const bool done = (Config::Init(""), Config::ActivateOption(65), true);
    (void)done;
}

std::string Bytes(std::size_t size, std::uint32_t seed) {
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return bytes;
}

void Write(const std::wstring& path, const std::string& bytes) {
    std::ofstream(fs::path(path), std::ios::binary) << bytes;
}

std::string Read(const std::wstring& path) {
    std::ifstream in(fs::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Md5Of(const std::wstring& path) {
    std::string hex;
    ToolBox::File::ComputeHash(Narrow(path), ToolBox::File::kMd5, hex);
    return hex;
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

JSON::ValuePtr MediaJson(const std::string& link, const std::string& hash, const std::string& size) {
    JSON::ValuePtr object = JSON::MakeObject();
    auto* members = static_cast<JSON::Object*>(object.get());
    members->Insert("fileName", JSON::MakeString("media.bin", true));
    members->Insert("downloadLink", JSON::MakeString(link, true));
    members->Insert("hash", JSON::MakeString(hash, true));
    members->Insert("size", JSON::MakeString(size, true));
    return object;
}

class ScriptedPrompt final : public QORHttpPrompt {
public:
    explicit ScriptedPrompt(DWORD answer) : answer_(answer) {}
    DWORD Ask(HINTERNET, DWORD, HWND) override {
        ++asked;
        return answer_;
    }
    int asked = 0;

private:
    DWORD answer_;
};

class Downloads : public ::testing::Test {
protected:
    void SetUp() override {
        EnableTestMode();
        ASSERT_NE(server.Port(), 0) << server.Error();
        media = Bytes(kMediaSize, 7);
        Write(served + L"\\media.bin", media);
        hash = Md5Of(served + L"\\media.bin");
        ASSERT_EQ(hash.size(), 32u);
    }

    std::int32_t Download(const std::string& query, const std::string& expectedHash,
                          const std::string& size = std::to_string(kMediaSize)) {
        const JSON::ValuePtr json = MediaJson(server.Url("media.bin" + query), expectedHash, size);
        const MediaInfo item(json.get());
        return Utils::DownloadMedia(context, Narrow(output), item);
    }

    // The progress values the tray got, once the last of the runs (each ends with 101) arrived.
    std::vector<LPARAM> Progress(std::size_t runs) {
        std::vector<LPARAM> values;
        for (auto deadline = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < deadline;
             std::this_thread::sleep_for(10ms)) {
            values.clear();
            for (const RecordingWindow::Message& m : tray.WaitForMessages(0, 0)) {
                if (m.message == 0x40A && m.wParam == 0) values.push_back(m.lParam);
            }
            if (static_cast<std::size_t>(std::count(values.begin(), values.end(), 101)) >= runs) break;
        }
        return values;
    }

    // Each download's messages: from 0 up, never back, 100 and then 101.
    void ExpectMonotonicProgressEndingWith101(std::size_t runs) {
        const std::vector<LPARAM> values = Progress(runs);
        auto begin = values.begin();
        for (std::size_t run = 0; run < runs; ++run) {
            const auto end = std::find(begin, values.end(), 101);
            ASSERT_NE(end, values.end()) << "run " << run;
            ASSERT_GE(end - begin, 2) << "run " << run;
            EXPECT_EQ(*begin, 0) << "run " << run;
            EXPECT_TRUE(std::is_sorted(begin, end)) << "run " << run;
            EXPECT_EQ(*(end - 1), 100) << "run " << run;
            begin = end + 1;
        }
        EXPECT_EQ(begin, values.end());
    }

    void ExpectNothingLeft() {
        EXPECT_FALSE(fs::exists(output)) << Narrow(output);
        EXPECT_FALSE(fs::exists(output + L".tmp"));
        EXPECT_FALSE(fs::exists(output + L".lock"));
    }

    std::string Line(const std::string& query, const std::string& range) const {
        return "GET /media.bin" + query + " range=" + range;
    }

    FastSleeper sleeper;
    RecordingSink sink;
    ScopedSleeper installedSleeper{sleeper};
    ScopedLogSink installedSink{sink};
    TestFolder folder;
    std::wstring served = [this] {
        fs::create_directories(fs::path(folder.In(L"srv")));
        return folder.In(L"srv");
    }();
    LocalHttpServer server{served};
    RecordingWindow tray{L"QXLauncherTray"};
    OrdanaRequestInfo context;
    std::wstring output = folder.In(L"out\\media.bin");
    std::string media;
    std::string hash;
};

TEST_F(Downloads, FreshFileIsVerifiedAndMovedIntoPlaceWhateverTheCaseOfTheHash) {
    for (const bool upper : {false, true}) {
        fs::remove(output);
        ASSERT_EQ(Download("", upper ? Upper(hash) : hash), 0) << upper << "\n" << sink.Dump();
        EXPECT_EQ(Read(output), media) << upper;
        EXPECT_FALSE(fs::exists(output + L".tmp"));
        EXPECT_FALSE(fs::exists(output + L".lock"));
    }
    EXPECT_TRUE(sink.Has("[ToolBox::DownloadMedia]Computed MD5 hash : " + hash));
    EXPECT_EQ(server.Requests(), std::vector<std::string>(2, Line("", "-")));
}

TEST_F(Downloads, ProgressIsMonotonicAndEndsWith101) {
    ASSERT_EQ(Download("", hash), 0) << sink.Dump();
    ExpectMonotonicProgressEndingWith101(1);
    EXPECT_EQ(sink.Dump().find("update progress ignored"), std::string::npos) << sink.Dump();
}

TEST_F(Downloads, QueryGoesToTheServerAndTheFragmentNever) {
    struct Case {
        const char* link;
        const char* sent;
    } cases[] = {
        {"?x=1#frag", "GET /media.bin?x=1 range=-"},
        {"#frag", "GET /media.bin range=-"},
        {"?x=1&y=%2F#a?b#c", "GET /media.bin?x=1&y=%2F range=-"},
    };
    for (const Case& c : cases) {
        fs::remove(output);
        fs::remove(served + L".requests");
        EXPECT_EQ(Download(c.link, hash), 0) << c.link << "\n" << sink.Dump();
        EXPECT_EQ(server.Requests(), std::vector<std::string>{c.sent}) << c.link;
    }
}

// Without a size there is no percentage to show: the tray sees the start, the end and the stop,
// of the watch of another downloader as of the transfer.
TEST_F(Downloads, SizeOfZeroOrBelowShowsNoPercentages) {
    fs::create_directories(fs::path(output).parent_path());
    struct Case {
        const char* size;
        bool watch;  // another downloader holds the lock at first
    } cases[] = {{"0", false}, {"-5", false}, {"0", true}, {"-5", true}};
    std::vector<LPARAM> expected;
    for (const Case& c : cases) {
        fs::remove(output);
        ZYNSysKernelHandle lock;
        if (c.watch) {
            Write(output + L".tmp", "partial");
            lock.Reset(::CreateFileW((output + L".lock").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
            ASSERT_TRUE(lock) << c.size;
        }
        sleeper.asked = 0;
        auto download = std::async(std::launch::async, [&] { return Download("", hash, c.size); });
        // Ten polls of the other's temporary file, then its lock goes.
        for (auto deadline = std::chrono::steady_clock::now() + 10s;
             lock && sleeper.asked < 2500 && std::chrono::steady_clock::now() < deadline;) {
            std::this_thread::sleep_for(5ms);
        }
        lock.Reset();
        EXPECT_EQ(download.get(), 0) << c.size << c.watch << "\n" << sink.Dump();
        EXPECT_EQ(Read(output), media) << c.size << c.watch;
        for (int run = c.watch ? 2 : 1; run > 0; --run) expected.insert(expected.end(), {0, 100, 101});
    }
    EXPECT_EQ(Progress(expected.size() / 3), expected);
    EXPECT_EQ(sink.Dump().find("update progress ignored"), std::string::npos) << sink.Dump();
}

// The other downloader's file passes 2 GiB (a sparse file): its progress is read in 64 bits.
TEST_F(Downloads, WatchOfAnotherDownloaderShowsProgressPast2GiB) {
    fs::create_directories(fs::path(output).parent_path());
    {
        std::ofstream(fs::path(output + L".tmp"), std::ios::binary) << "x";
    }
    fs::resize_file(fs::path(output + L".tmp"), 3ull << 30);
    ZYNSysKernelHandle lock(::CreateFileW((output + L".lock").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    ASSERT_TRUE(lock);
    auto download = std::async(std::launch::async, [&] { return Download("", hash, std::to_string(6ull << 30)); });
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         sleeper.asked < 2500 && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(5ms);
    }
    // The other one is done: its file moved into place, its lock gone.
    fs::remove(output + L".tmp");
    Write(output, media);
    lock.Reset();
    EXPECT_EQ(download.get(), 1) << sink.Dump();
    EXPECT_EQ(Progress(1), (std::vector<LPARAM>{0, 50, 100, 101}));
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(Downloads, ExistingFileWithTheRightHashIsKeptWithoutAnyRequest) {
    fs::create_directories(fs::path(output).parent_path());
    for (const bool upper : {false, true}) {
        Write(output, media);
        EXPECT_EQ(Download("", upper ? Upper(hash) : hash), 1) << upper;
        EXPECT_EQ(Read(output), media);
        EXPECT_FALSE(fs::exists(output + L".lock"));
    }
    EXPECT_TRUE(sink.Has("[Utils::DownloadMedia]this file '" + Narrow(output) +
                         "' is already present with the right hash. downloading cancelled."));
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(Downloads, ExistingWrongFileIsReplaced) {
    fs::create_directories(fs::path(output).parent_path());
    Write(output, "old content");
    ASSERT_EQ(Download("", hash), 0) << sink.Dump();
    EXPECT_EQ(Read(output), media);
    EXPECT_TRUE(sink.Has("[Utils::DownloadMedia] '" + Narrow(output) + "' successfully deleted !"));
}

TEST_F(Downloads, UnusableItemFailsBeforeAnythingIsTouched) {
    fs::create_directories(fs::path(output).parent_path());
    Write(output, media);
    Write(output + L".tmp", "another downloader's");
    const std::string link = server.Url("media.bin");
    struct Case {
        const char* name;
        JSON::ValuePtr json;  // null: an item built from no value
    } cases[] = {
        {"no link", MediaJson("", hash, "1")},
        {"no hash", MediaJson(link, "", "1")},
        {"no value", nullptr},
    };
    for (const Case& c : cases) {
        const MediaInfo item(c.json.get());
        EXPECT_EQ(Utils::DownloadMedia(context, Narrow(output), item), 2) << c.name;
        EXPECT_EQ(Read(output), media) << c.name;
        EXPECT_EQ(Read(output + L".tmp"), "another downloader's") << c.name;
        EXPECT_FALSE(fs::exists(output + L".lock")) << c.name;
    }
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(Downloads, OutputThatIsAFolderIsNeverDeleted) {
    fs::create_directories(fs::path(output));
    Write(output + L"\\keep.txt", "keep");
    EXPECT_EQ(Download("", hash), 2);
    EXPECT_EQ(Read(output + L"\\keep.txt"), "keep");
    // Refused as a folder, not merely because a folder has no digest.
    EXPECT_TRUE(sink.Has("[Utils::DownloadMedia]Failed to delete file : " + Narrow(output))) << sink.Dump();
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(Downloads, FolderUnderTheTemporaryNameIsNeverDeleted) {
    fs::create_directories(fs::path(output + L".tmp"));
    Write(output + L".tmp\\keep.txt", "keep");
    EXPECT_EQ(Download("", hash), 2);
    EXPECT_EQ(Read(output + L".tmp\\keep.txt"), "keep");
    EXPECT_FALSE(fs::exists(output));
    EXPECT_FALSE(fs::exists(output + L".lock"));
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(Downloads, DroppedConnectionResumesWithRangeAndEndsRight) {
    for (const std::size_t drop : {kMediaSize * 30 / 100, kMediaSize * 99 / 100}) {
        fs::remove(output);
        fs::remove(served + L".requests");
        sleeper.asked = 0;
        const std::string query = "?drop=" + std::to_string(drop);
        ASSERT_EQ(Download(query, hash), 0) << drop << "\n" << sink.Dump();
        EXPECT_EQ(Read(output), media) << drop;
        EXPECT_EQ(server.Requests(),
                  (std::vector<std::string>{Line(query, "-"), Line(query, "bytes=" + std::to_string(drop) + "-")}))
            << drop;
        EXPECT_GE(sleeper.asked.load(), 5000u) << drop;
        EXPECT_FALSE(fs::exists(output + L".tmp"));
        EXPECT_FALSE(fs::exists(output + L".lock"));
    }
    EXPECT_TRUE(sink.Has("[ToolBox::DownloadMedia]Problem during download, waiting for 5000 ms..."));
    ExpectMonotonicProgressEndingWith101(2);
}

TEST_F(Downloads, ConnectionLostThreeTimesFailsAfterThreeTries) {
    ASSERT_EQ(Download("?dropevery=100000", hash), 2);
    EXPECT_TRUE(sink.Has("[ToolBox::DownloadMedia]Failed to download [media.bin] after 3 try.")) << sink.Dump();
    const std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[3], Line("?dropevery=100000", "bytes=300000-"));
    ExpectNothingLeft();
}

TEST_F(Downloads, RestartAnsweredWithTheWholeFileFails) {
    ASSERT_EQ(Download("?drop=500000&norange=1", hash), 2);
    EXPECT_TRUE(sink.Has("[Utils::DownloadMedia]Connection lost ! the restart attemp get a HTTP error : 200 ."))
        << sink.Dump();
    EXPECT_TRUE(sink.Has("[ToolBox::DownloadMedia]Failed to download [media.bin]. File corrupted or incorrect."));
    ExpectNothingLeft();
}

TEST_F(Downloads, ServerThatLiesAboutTheLengthFailsAndLeavesNothing) {
    struct Case {
        const char* query;
        const char* line;
    } cases[] = {
        {"?lie=-1000", "[ToolBox::DownloadMedia]Failed to download [media.bin]. File corrupted or incorrect."},
        {"?lie=1000", "[ToolBox::DownloadMedia]Failed to download [media.bin] after 3 try."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Download(c.query, hash), 2) << c.query;
        EXPECT_TRUE(sink.Has(c.line)) << c.query << "\n" << sink.Dump();
        ExpectNothingLeft();
    }
}

TEST_F(Downloads, ErrorStatusFailsWithoutTemporaryFile) {
    for (const char* status : {"404", "500"}) {
        const std::string query = std::string("?status=") + status;
        EXPECT_EQ(Download(query, hash), 2) << status;
        EXPECT_TRUE(sink.Has("[Utils::DownloadMedia]Error [" + std::string(status) +
                             "]! fail to connect to : " + server.Url("media.bin" + query)))
            << sink.Dump();
        ExpectNothingLeft();
    }
}

// Redirects are followed, ten at most: one more, or a link that answers with itself for ever,
// ends the download after the tenth.
TEST_F(Downloads, RedirectsAreFollowedUpToTen) {
    const auto chain = [&](int hops) {
        std::string query;
        for (int hop = 0; hop < hops; ++hop) query = "?location=" + server.Url("media.bin" + query);
        return query;
    };
    struct Case {
        const char* name;
        std::string query;
        std::int32_t rc;
        std::size_t requests;
    } cases[] = {
        {"ten", chain(10), 0, 11},
        {"relative", "?location=/media.bin%3Fx=1", 0, 2},
        {"301", "?status=301&location=/media.bin", 0, 2},
        {"303", "?status=303&location=/media.bin", 0, 2},
        {"307", "?status=307&location=/media.bin", 0, 2},
        {"308", "?status=308&location=/media.bin", 0, 2},
        {"eleven", chain(11), 2, 11},
        {"to itself for ever", "?loop=1000000", 2, 11},
    };
    for (const Case& c : cases) {
        fs::remove(output);
        fs::remove(served + L".requests");
        EXPECT_EQ(Download(c.query, hash), c.rc) << c.name << "\n" << sink.Dump();
        EXPECT_EQ(server.Requests().size(), c.requests) << c.name;
        if (c.rc != 0) {
            EXPECT_TRUE(sink.Has("[Utils::DownloadMedia]Error [302]! fail to connect to : " +
                                 server.Url("media.bin" + c.query)))
                << c.name;
            ExpectNothingLeft();
        }
    }
}

// A redirect whose target, with the scheme and the host, would reach 2084 characters (the
// platform's URL limit), or that comes from a link that long, ends the download before any call
// gets such a text, and the launcher serves on. A target that the platform's canonical form
// lengthens past the limit (a host it ends with "/", a drive path it makes a file URL) counts by
// that form: each of those rows comes after a redirect that fits, whose target must not be
// taken instead.
TEST_F(Downloads, RedirectPastTheUrlLimitEndsTheDownloadAndTheLauncherServesOn) {
    Write(served + L"\\small.bin", "small media");
    const std::string smallHash = Md5Of(served + L"\\small.bin");
    // "http://127.0.0.1:<port>", before a path-absolute target.
    const std::size_t origin = server.Url("").size() - 1;
    const auto padded = [](const std::string& location, std::size_t length) {
        return "?location=" + location + "&padto=" + std::to_string(length);
    };
    // A link of that length, sent on to a short path.
    const auto longLink = [&](std::size_t length) {
        const std::string query = "?location=%2Fsmall.bin&pad=";
        return query + std::string(length - server.Url("small.bin" + query).size(), 'a');
    };
    const std::string path = "%2Fsmall.bin%3Fpad%3D";
    struct Case {
        std::string name;
        std::string query;  // of small.bin
        bool fits;
    };
    std::vector<Case> cases = {
        {"short", padded(path, 100), true},
        {"absolute, a host of 2076", padded("http%3A%2F%2Fa", 2083), false},
        {"short", padded(path, 100), true},
        {"drive path of 2080", padded("C%3A%5Ca", 2080), false},
        {"link of 2083", longLink(2083), true},
        {"link of 2084", longLink(2084), false},
    };
    for (std::size_t length = 2040; length <= 2110; ++length) {
        cases.push_back({"path-absolute of " + std::to_string(length), padded(path, length), origin + length < 2084});
    }
    cases.push_back({"path-absolute of 8 KiB", padded(path, 8 << 10), false});
    cases.push_back({"path-absolute of 64 KiB", padded(path, 64 << 10), false});

    const std::wstring pipe = UniquePipeName();
    Launcher launcher(folder, {L"run", pipe}, {{L"WEX_TRQ_UUID", L"download-test"}});
    const std::string dest = Narrow(output);
    std::vector<std::string> refusals;
    std::size_t requests = 0;
    for (const Case& c : cases) {
        const std::string link = server.Url("small.bin" + c.query);
        const JSON::ValuePtr mi = MediaJson(link, smallHash, "11");
        const Reply reply = Exchange(pipe, R"({"op": "run", "args": {"action": "DownloadMedia", "dest": )" +
                                               JsonQuoted(dest) + ", \"mi\": " + mi->Dump() + "}}");
        ASSERT_EQ(reply.error, 0u) << c.name << ": the launcher ended\n" << launcher.Output();
        EXPECT_EQ(reply.text, "{\"rc\": 0, \"content\": {\"rc\": " + std::string(c.fits ? "0" : "2") +
                                  ", \"output\": " + JsonQuoted(dest) + "}}")
            << c.name;
        // The link, and the target only where it fits.
        const std::size_t now = server.Requests().size();
        EXPECT_EQ(now - requests, c.fits ? 2u : 1u) << c.name;
        requests = now;
        if (!c.fits) {
            refusals.push_back("[Utils::DownloadMedia]redirection target too long (2084 characters or more) from : " +
                               link);
        }
        fs::remove(output);
    }
    PipeClient client;
    ASSERT_EQ(client.Open(pipe), 0u);
    EXPECT_EQ(client.Write("STOP"), 0u);
    EXPECT_EQ(launcher.WaitForExit(30000), 0u);
    const std::string log = launcher.Output();
    for (const std::string& line : refusals) {
        EXPECT_NE(log.find("{ERROR}:" + line + "\n"), std::string::npos) << line.substr(0, 200);
    }
}

TEST_F(Downloads, TicketInTheLinkNeverReachesTheLog) {
    const std::string ticket = "ST-8888888888-mediaticket";
    struct Case {
        const char* name;
        std::string query, hash;
        std::int32_t rc;
        std::string shown;  // what the log shows of the ticket
    } cases[] = {
        {"refused by the server", "?status=404&ticket=" + ticket, hash, 2, "ticket=ST-8***("},
        {"item refused before any request", "?ticket=" + ticket, "", 2, "ticket=ST-8***("},
        // The server hands a service ticket on in the target's query.
        {"redirect target", "?issue=/media.bin", hash, 0,
         "[Utils::DownloadMedia]redirected to : " + server.Url("media.bin?ticket=ST-1***(24)") + "\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Download(c.query, c.hash), c.rc) << c.name;
        const std::string log = sink.Dump();
        EXPECT_NE(log.find(c.shown), std::string::npos) << c.name << "\n" << log;
        for (const char* secret : {"8888888888-mediaticket", "issuedservicesecret"}) {
            EXPECT_EQ(log.find(secret), std::string::npos) << c.name << "\n" << log;
        }
    }
}

TEST_F(Downloads, ProxyDemandGetsOneFreeTryAndOnlyWhenTheUserAnswers) {
    struct Case {
        const char* name;
        DWORD answer;
        int asked;
        std::size_t requests;
        bool freeTry;
        bool nobodyAsked;
    } cases[] = {
        // The user gives credentials each time: one free try, then three counted ones.
        {"credentials given", ERROR_INTERNET_FORCE_RETRY, 4, 4, true, false},
        // The user cancels: each demand counts.
        {"no answer", ERROR_CANCELLED, 3, 3, false, false},
        // No interactive session: the prompt gives the error back, and each demand counts.
        {"nobody to ask", ERROR_INTERNET_INCORRECT_PASSWORD, 3, 3, false, true},
    };
    for (const Case& c : cases) {
        fs::remove(served + L".requests");
        RecordingSink lines;
        ScopedLogSink installedLines(lines);
        ScriptedPrompt prompt(c.answer);
        QORHttpScopedPrompt installedPrompt(prompt);
        const std::int32_t rc = Download("?status=407", hash);
        installedPrompt.Restore();
        installedLines.Restore();
        EXPECT_EQ(rc, 2) << c.name;
        EXPECT_EQ(prompt.asked, c.asked) << c.name;
        EXPECT_EQ(server.Requests().size(), c.requests) << c.name;
        EXPECT_EQ(lines.Has("[SendRequest]the proxy authentification set ! we got a free try !"), c.freeTry)
            << c.name;
        EXPECT_EQ(lines.Has("[SendRequest]the proxy authentification fail another time !"), c.freeTry) << c.name;
        EXPECT_EQ(lines.Has("[SendRequest]no interactive session to ask for the proxy authentification"),
                  c.nobodyAsked)
            << c.name;
        EXPECT_TRUE(lines.Has("[Utils::DownloadMedia]Error [0]! fail to connect to : " +
                              server.Url("media.bin?status=407")))
            << lines.Dump();
        ExpectNothingLeft();
    }
}

TEST_F(Downloads, NotEnoughSpaceAnswers3BeforeAnyRequest) {
    EXPECT_EQ(Download("", hash, "4000000000000000000"), 3);
    EXPECT_TRUE(sink.Has("[Utils::DownloadMedia]not enought space here: " + Narrow(folder.In(L"out")) +
                         "\nthis media require, at least, this free space : 11718750000000000"))
        << sink.Dump();
    EXPECT_TRUE(server.Requests().empty());
    ExpectNothingLeft();
}

TEST_F(Downloads, SecondDownloaderWaitsForTheFirstAndThenFindsTheFile) {
    // About two seconds of transfer: the second one comes while the first is at it.
    const std::string query = "?rate=512";
    auto first = std::async(std::launch::async, [&] { return Download(query, hash); });
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         !fs::exists(output + L".tmp") && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(fs::exists(output + L".tmp"));
    const std::int32_t second = Download(query, hash);
    EXPECT_EQ(first.get(), 0) << sink.Dump();
    EXPECT_EQ(second, 1);
    EXPECT_EQ(Read(output), media);
    EXPECT_EQ(server.Requests(), std::vector<std::string>{Line(query, "-")});
    EXPECT_FALSE(fs::exists(output + L".lock"));
}

TEST_F(Downloads, SecondDownloaderTakesOverWhenTheFirstFails) {
    const std::string query = "?rate=512";
    auto first = std::async(std::launch::async, [&] { return Download(query, std::string(32, '0')); });
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         !fs::exists(output + L".tmp") && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(fs::exists(output + L".tmp"));
    const std::int32_t second = Download(query, hash);
    EXPECT_EQ(first.get(), 2);
    EXPECT_EQ(second, 0) << sink.Dump();
    EXPECT_EQ(Read(output), media);
    EXPECT_EQ(server.Requests().size(), 2u);
    // The watch's progress ended at 101; the transfer's own starts again from 0.
    EXPECT_EQ(sink.Dump().find("update progress ignored"), std::string::npos) << sink.Dump();
}

TEST(DownloadAction, WithoutDestinationAnswers150AndNothingElse) {
    JSON::ValuePtr content;
    EXPECT_EQ(Backbone::Process(R"({"op": "run", "args": {"action": "DownloadMedia", "mi": {}}})", content), 150);
    EXPECT_EQ(content, nullptr);
}

TEST_F(Downloads, ActionDownloadsIntoTheDestinationAndReportsIt) {
    const JSON::ValuePtr mi = MediaJson(server.Url("media.bin"), hash, std::to_string(kMediaSize));
    const std::wstring dest = folder.In(L"new\\dir\\media.bin");
    JSON::ValuePtr content;
    ASSERT_EQ(Backbone::Process(R"({"op": "run", "args": {"action": "DownloadMedia", "dest": )" +
                                    JsonQuoted(Narrow(dest)) + ", \"mi\": " + mi->Dump() + "}}",
                                content),
              0);
    ASSERT_NE(content, nullptr);
    EXPECT_EQ(content->Dump(), "{\"rc\": 0, \"output\": " + JsonQuoted(Narrow(dest)) + "}");
    EXPECT_EQ(Read(dest), media);
}

// The children get their inputs from the parent's environment.
std::string Env(const char* name) {
    char value[2048] = {};
    const DWORD got = ::GetEnvironmentVariableA(name, value, sizeof value);
    return got < sizeof value ? std::string(value, got) : std::string();
}

// Runs a child case with these variables set; its "RESULT" line, or why there is none.
std::string RunChild(const char* name, const std::vector<std::pair<std::string, std::string>>& env) {
    for (const auto& [key, value] : env) ::SetEnvironmentVariableW(Widen(key).c_str(), Widen(value).c_str());
    ChildProcess::Result run = ChildProcess::Run(name);
    for (const auto& [key, value] : env) ::SetEnvironmentVariableW(Widen(key).c_str(), nullptr);
    std::erase(run.output, '\r');
    const std::size_t at = run.output.find("\nRESULT ");
    if (!run.started || run.exitCode != 0 || at == std::string::npos) {
        return "exit " + std::to_string(run.exitCode) + ": " + run.output;
    }
    return run.output.substr(at + 8, run.output.find('\n', at + 1) - at - 8);
}

void PrintResult(const std::string& text) {
    std::printf("\nRESULT %s\n", text.c_str());
    std::fflush(stdout);
}

// Milliseconds from the stop order to the end of a download running on its own thread,
// after the moment given; rc and time are printed. The order is process-wide and never cleared.
int StopAfter(const std::function<bool()>& moment, const std::string& url, const std::string& hash,
              std::int64_t size) {
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    EnableTestMode();
    const std::string output = Env("VAROMET_TEST_OUTPUT");
    const JSON::ValuePtr json = MediaJson(url, hash, std::to_string(size));
    const MediaInfo item(json.get());
    OrdanaRequestInfo context;
    auto download = std::async(std::launch::async, [&] { return Utils::DownloadMedia(context, output, item); });
    if (!moment()) return 91;
    const bool running = download.wait_for(0s) == std::future_status::timeout;
    const auto stopped = std::chrono::steady_clock::now();
    G_STOP = true;
    const std::int32_t rc = download.get();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stopped);
    installedSink.Restore();
    const bool logged = sink.Has("[Utils::DownloadMedia]GLOBAL STOP ORDER ! function aborted") ||
                        sink.Has("[ToolBox::DownloadMedia]GLOBAL STOP ORDER ! function aborted") ||
                        sink.Has("[SendRequest]GLOBAL STOP ORDER ! emergency break !");
    PrintResult(std::to_string(rc) + (running ? " running" : " ended") + (logged ? " logged " : " silent ") +
                std::to_string(ms.count()));
    return 0;
}

// The transfer is going (some bytes in the temporary file) when the order comes.
VAROMET_CHILD_CASE(StopOrderEndsTheDownload) {
    const std::wstring tmp = Widen(Env("VAROMET_TEST_OUTPUT") + ".tmp");
    const auto transferring = [&] {
        for (auto deadline = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < deadline;
             std::this_thread::sleep_for(10ms)) {
            std::error_code error;
            if (fs::exists(tmp, error) && fs::file_size(tmp, error) > 0) return true;
        }
        return false;
    };
    return StopAfter(transferring, Env("VAROMET_TEST_URL"), Env("VAROMET_TEST_HASH"), 4 * kMediaSize);
}

// Another downloader's lock, with or without its temporary file: the wait polls the lock, or
// watches that file, until the order.
VAROMET_CHILD_CASE(StopOrderEndsTheWaitForAnotherDownloader) {
    ZYNSysKernelHandle lock(::CreateFileW(Widen(Env("VAROMET_TEST_OUTPUT") + ".lock").c_str(),
                                          GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!lock) return 90;
    return StopAfter([] { return std::this_thread::sleep_for(1s), true; }, "http://127.0.0.1:1/none.bin",
                     std::string(32, '0'), 11);
}

// A slow server that sends the client back to the same link: the walk is going when the order comes.
VAROMET_CHILD_CASE(StopOrderEndsARedirectWalk) {
    return StopAfter([] { return std::this_thread::sleep_for(2s), true; }, Env("VAROMET_TEST_URL"),
                     Env("VAROMET_TEST_HASH"), 4 * kMediaSize);
}

// The stop must never sit out the shortest wait it is there to cut, the 5000 ms retry pause;
// the rest of that margin is for a loaded machine.
constexpr long long kStopBoundMs = 4500;

TEST_F(Downloads, StopOrderEndsADownloadOrTheWaitPromptly) {
    fs::create_directories(fs::path(output).parent_path());
    Write(served + L"\\big.bin", Bytes(4 * kMediaSize, 3));
    struct Case {
        const char* child;
        const char* partial;  // the other downloader's temporary file, if any
        const char* query = "?rate=256";
    } cases[] = {
        {"StopOrderEndsTheDownload", nullptr},
        {"StopOrderEndsTheWaitForAnotherDownloader", nullptr},
        // Its file is still its own: a stopping watcher never deletes it.
        {"StopOrderEndsTheWaitForAnotherDownloader", "another downloader's"},
        // Ten hops of a second each.
        {"StopOrderEndsARedirectWalk", nullptr, "?loop=1000000&delay=1000"},
    };
    for (const Case& c : cases) {
        if (c.partial) Write(output + L".tmp", c.partial);
        const std::string url = server.Url("big.bin" + std::string(c.query));
        const std::string result = RunChild(c.child, {{"VAROMET_TEST_URL", url},
                                                      {"VAROMET_TEST_HASH", Md5Of(served + L"\\big.bin")},
                                                      {"VAROMET_TEST_OUTPUT", Narrow(output)}});
        ASSERT_EQ(result.rfind("2 running logged ", 0), 0u) << c.child << ": " << result;
        EXPECT_LT(std::stoll(result.substr(17)), kStopBoundMs) << c.child;
        if (c.partial) {
            EXPECT_EQ(Read(output + L".tmp"), c.partial) << c.child;
            fs::remove(output + L".tmp");
        }
        ExpectNothingLeft();
    }
}

// A peer that goes silent: the read in progress is cut short by closing its handle, not
// waited out for the 30 s time-out.
TEST_F(Downloads, StopOrderCutsAReadBlockedOnASilentServerOnWindowsOnly) {
    if (::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr)
        GTEST_SKIP() << "Windows only: Wine's WinINet does not end a read blocked on a silent server when "
                        "another thread closes its handle";
    fs::create_directories(fs::path(output).parent_path());
    Write(served + L"\\big.bin", Bytes(4 * kMediaSize, 3));
    const std::string result =
        RunChild("StopOrderEndsTheDownload", {{"VAROMET_TEST_URL", server.Url("big.bin?stall=100000")},
                                              {"VAROMET_TEST_HASH", Md5Of(served + L"\\big.bin")},
                                              {"VAROMET_TEST_OUTPUT", Narrow(output)}});
    ASSERT_EQ(result.rfind("2 running logged ", 0), 0u) << result;
    EXPECT_LT(std::stoll(result.substr(17)), kStopBoundMs);
    ExpectNothingLeft();
}

// Through the product: a stop while the body trickles in, after a first block that came at once,
// ends the transfer at its next byte, so the launcher ends without giving up on a client still
// answering, and the temporary file goes.
TEST_F(Downloads, StopOverThePipeDuringATrickleEndsTheLauncherAndRemovesTheTemporaryFile) {
    const std::wstring pipe = UniquePipeName();
    Launcher launcher(folder, {L"run", pipe}, {{L"WEX_TRQ_UUID", L"download-test"}});
    const JSON::ValuePtr mi = MediaJson(server.Url("media.bin?trickle=1000"), hash, std::to_string(kMediaSize));
    auto reply = std::async(std::launch::async, [&] {
        return Exchange(pipe, R"({"op": "run", "args": {"action": "DownloadMedia", "dest": )" +
                                  JsonQuoted(Narrow(output)) + ", \"mi\": " + mi->Dump() + "}}");
    });
    for (auto deadline = std::chrono::steady_clock::now() + 20s;
         !fs::exists(output + L".tmp") && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(fs::exists(output + L".tmp")) << launcher.Output();
    std::this_thread::sleep_for(3s);
    PipeClient client;
    ASSERT_EQ(client.Open(pipe), 0u);
    EXPECT_EQ(client.Write("STOP"), 0u);
    EXPECT_EQ(launcher.WaitForExit(30000), 0u);
    EXPECT_EQ(reply.get().text,
              "{\"rc\": 0, \"content\": {\"rc\": 2, \"output\": " + JsonQuoted(Narrow(output)) + "}}");
    EXPECT_EQ(launcher.Output().find("still answering at exit"), std::string::npos) << launcher.Output();
    ExpectNothingLeft();
}

// The order comes at the first pause of a retry wait, as a stop during that wait would: the
// wait gives up at once and nothing more goes to the server.
class StopAtTheRetryWait final : public Sleeper {
public:
    explicit StopAtTheRetryWait(RecordingSink& sink) : sink_(sink) {}
    void Sleep(std::uint32_t milliseconds) override {
        if (!G_STOP.load() && (sink_.Has("[ToolBox::DownloadMedia]Problem during download, waiting for 5000 ms...") ||
                               sink_.After("[SendRequest]HttpSendRequest failed(") != "<none>")) {
            G_STOP = true;
        }
        if (G_STOP.load()) askedAfterStop += milliseconds;
        ::Sleep(std::min<std::uint32_t>(milliseconds, 5));
    }
    std::atomic<std::uint64_t> askedAfterStop{0};

private:
    RecordingSink& sink_;
};

VAROMET_CHILD_CASE(StopOrderDuringTheRetryWait) {
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    StopAtTheRetryWait sleeper(sink);
    ScopedSleeper installedSleeper(sleeper);
    EnableTestMode();
    const JSON::ValuePtr json = MediaJson(Env("VAROMET_TEST_URL"), Env("VAROMET_TEST_HASH"), std::to_string(kMediaSize));
    const MediaInfo item(json.get());
    OrdanaRequestInfo context;
    const std::int32_t rc = Utils::DownloadMedia(context, Env("VAROMET_TEST_OUTPUT"), item);
    installedSleeper.Restore();
    installedSink.Restore();
    PrintResult(std::to_string(rc) + (G_STOP.load() ? " stopped " : " never-stopped ") +
                std::to_string(sleeper.askedAfterStop.load()));
    return 0;
}

TEST_F(Downloads, StopOrderDuringARetryWaitEndsItAndSendsNothingMore) {
    fs::create_directories(fs::path(output).parent_path());
    struct Case {
        const char* name;
        const char* query;
    } cases[] = {
        {"send failed, before the next try", "?hangup=1"},
        {"read lost, before the resume", "?drop=300000"},
    };
    for (const Case& c : cases) {
        fs::remove(served + L".requests");
        const std::string result = RunChild("StopOrderDuringTheRetryWait",
                                            {{"VAROMET_TEST_URL", server.Url("media.bin" + std::string(c.query))},
                                             {"VAROMET_TEST_HASH", hash},
                                             {"VAROMET_TEST_OUTPUT", Narrow(output)}});
        ASSERT_EQ(result.rfind("2 stopped ", 0), 0u) << c.name << ": " << result;
        EXPECT_LT(std::stoull(result.substr(10)), 5000u) << c.name << ": the wait was sat out";
        EXPECT_EQ(server.Requests(), std::vector<std::string>{Line(c.query, "-")}) << c.name;
        ExpectNothingLeft();
    }
}

// Option 68 is process-wide: a present file is kept as it is, unread.
VAROMET_CHILD_CASE(KeepMediaOptionKeepsAnyPresentFile) {
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    EnableTestMode();
    Config::ActivateOption(68);
    const JSON::ValuePtr json = MediaJson(Env("VAROMET_TEST_URL"), std::string(32, '0'), "11");
    const MediaInfo item(json.get());
    OrdanaRequestInfo context;
    const std::int32_t rc = Utils::DownloadMedia(context, Env("VAROMET_TEST_OUTPUT"), item);
    installedSink.Restore();
    PrintResult(std::to_string(rc) + " " +
                ToolBox::BoolToString(sink.Has("[Utils::DownloadMedia]config found : keep the current existing media.")));
    return 0;
}

TEST_F(Downloads, KeepMediaOptionKeepsAPresentFileWithoutHashingIt) {
    fs::create_directories(fs::path(output).parent_path());
    Write(output, "old content");
    EXPECT_EQ(RunChild("KeepMediaOptionKeepsAnyPresentFile",
                       {{"VAROMET_TEST_URL", server.Url("media.bin")}, {"VAROMET_TEST_OUTPUT", Narrow(output)}}),
              "1 true");
    EXPECT_EQ(Read(output), "old content");
    EXPECT_TRUE(server.Requests().empty());
}

// A present file whose digest cannot be taken: the stop order (process-wide) comes before its
// hash check, or the parent holds the file unreadable. The action reports the outcome.
VAROMET_CHILD_CASE(PresentFileWithoutADigest) {
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    EnableTestMode();
    if (Env("VAROMET_TEST_STOP") == "1") G_STOP = true;
    const std::string output = Env("VAROMET_TEST_OUTPUT");
    const JSON::ValuePtr mi = MediaJson(Env("VAROMET_TEST_URL"), Env("VAROMET_TEST_HASH"), std::to_string(kMediaSize));
    JSON::ValuePtr content;
    const int rc = Backbone::Process(R"({"op": "run", "args": {"action": "DownloadMedia", "dest": )" +
                                         JsonQuoted(output) + ", \"mi\": " + mi->Dump() + "}}",
                                     content);
    installedSink.Restore();
    const bool told = sink.Has("[Utils::DownloadMedia]Failed to access file and compute hash : " + output);
    PrintResult(std::to_string(rc) + " " + (content ? content->Dump() : "<none>") + (told ? " told" : " untold"));
    return 0;
}

TEST_F(Downloads, PresentFileWithoutADigestIsKeptAndTheDownloadAnswers2) {
    fs::create_directories(fs::path(output).parent_path());
    struct Case {
        const char* name;
        bool stop;
    } cases[] = {{"stop order", true}, {"unreadable file", false}};
    for (const Case& c : cases) {
        Write(output, media);
        // No one else may read it, anyone may delete it: only the download's own rule keeps it.
        ZYNSysKernelHandle holder;
        if (!c.stop) {
            holder.Reset(::CreateFileW(output.c_str(), GENERIC_READ, FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(holder) << c.name;
        }
        const std::string result = RunChild("PresentFileWithoutADigest", {{"VAROMET_TEST_STOP", c.stop ? "1" : "0"},
                                                                          {"VAROMET_TEST_URL", server.Url("media.bin")},
                                                                          {"VAROMET_TEST_HASH", hash},
                                                                          {"VAROMET_TEST_OUTPUT", Narrow(output)}});
        holder.Reset();
        EXPECT_EQ(result, "0 {\"rc\": 2, \"output\": " + JsonQuoted(Narrow(output)) + "} told") << c.name;
        EXPECT_TRUE(Read(output) == media) << c.name << ": the file was lost or changed";
        EXPECT_FALSE(fs::exists(output + L".lock")) << c.name;
    }
    EXPECT_TRUE(server.Requests().empty());
}

// Option 63 is process-wide: the same https download without it and with it. Test mode does
// not drop the secure flag for an https address.
VAROMET_CHILD_CASE(HttpsFromAnUnknownAuthority) {
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    FastSleeper sleeper;
    ScopedSleeper installedSleeper(sleeper);
    EnableTestMode();
    const JSON::ValuePtr json = MediaJson(Env("VAROMET_TEST_URL"), Env("VAROMET_TEST_HASH"), Env("VAROMET_TEST_SIZE"));
    const MediaInfo item(json.get());
    OrdanaRequestInfo context;
    const std::int32_t refused = Utils::DownloadMedia(context, Env("VAROMET_TEST_OUTPUT"), item);
    Config::ActivateOption(63);
    const std::int32_t accepted = Utils::DownloadMedia(context, Env("VAROMET_TEST_OUTPUT"), item);
    installedSleeper.Restore();
    installedSink.Restore();
    // The refusal is told in the internet layer's own words.
    const std::string told = sink.After("[SendRequest]HttpSendRequest failed(");
    PrintResult(std::to_string(refused) + " " + std::to_string(accepted) + " " +
                (told.rfind("{[FormatMessageW]", 0) == 0 ? "untold" : "told"));
    if (accepted != 0 || told.rfind("{[FormatMessageW]", 0) == 0) std::printf("%s", sink.Dump().c_str());
    return 0;
}

TEST_F(Downloads, HttpsFromAnUnknownAuthorityNeedsTheOptionThatIgnoresIt) {
    LocalHttpServer secure{served, true};
    ASSERT_NE(secure.Port(), 0) << secure.Error();
    const std::string result = RunChild("HttpsFromAnUnknownAuthority", {{"VAROMET_TEST_URL", secure.Url("media.bin")},
                                                                       {"VAROMET_TEST_HASH", hash},
                                                                       {"VAROMET_TEST_SIZE", std::to_string(kMediaSize)},
                                                                       {"VAROMET_TEST_OUTPUT", Narrow(output)}});
    ASSERT_EQ(result.substr(0, 4), "2 0 ") << result;
    EXPECT_TRUE(Read(output) == media);
    EXPECT_FALSE(fs::exists(output + L".tmp"));
    EXPECT_FALSE(fs::exists(output + L".lock"));
    if (result == "2 0 untold")
        GTEST_SKIP() << "Wine's wininet.dll has no message table for its error codes: the text of the refusal "
                        "cannot be checked here";
    EXPECT_EQ(result, "2 0 told");
}

// Options 63 and 65 are process-wide: an https link from an unknown authority, in test mode.
VAROMET_CHILD_CASE(HttpsLinkInTestMode) {
    FastSleeper sleeper;
    ScopedSleeper installedSleeper(sleeper);
    EnableTestMode();
    Config::ActivateOption(63);
    const JSON::ValuePtr json = MediaJson(Env("VAROMET_TEST_URL"), Env("VAROMET_TEST_HASH"), Env("VAROMET_TEST_SIZE"));
    const MediaInfo item(json.get());
    OrdanaRequestInfo context;
    PrintResult(std::to_string(Utils::DownloadMedia(context, Env("VAROMET_TEST_OUTPUT"), item)));
    return 0;
}

// Test mode allows plain links, but an https link that the server sends on to http stays on
// TLS: the target answers a plain request with 426.
TEST_F(Downloads, HttpsLinkRedirectedToHttpSendsNoPlainRequestInTestMode) {
    LocalHttpServer secure{served, true};
    ASSERT_NE(secure.Port(), 0) << secure.Error();
    const std::string target = "http" + secure.Url("media.bin%3Fsecureonly%3D1").substr(5);
    EXPECT_EQ(RunChild("HttpsLinkInTestMode", {{"VAROMET_TEST_URL", secure.Url("media.bin?location=" + target)},
                                               {"VAROMET_TEST_HASH", hash},
                                               {"VAROMET_TEST_SIZE", std::to_string(kMediaSize)},
                                               {"VAROMET_TEST_OUTPUT", Narrow(output)}}),
              "0");
    EXPECT_TRUE(Read(output) == media);
    EXPECT_EQ(secure.Requests().size(), 2u);
}

// The fallback folder needs the folder table; the parent gives the data folder and a
// destination whose folder cannot be made (a file stands where a folder should be).
VAROMET_CHILD_CASE(UnusableDestinationFallsBackToTheMediaFolder) {
    LaunchDaemon::MetaInit(3, "VarometLauncher_backbone\\test", "VarometLauncher_backbone", "");
    Config::ActivateOption(65);
    std::string media;
    if (!FileAndFoldersManager::GetFolderPath(FolderId::MEDIA_DDL, media, true, nullptr)) return 91;
    const JSON::ValuePtr mi = MediaJson(Env("VAROMET_TEST_URL"), Env("VAROMET_TEST_HASH"), "1");
    JSON::ValuePtr content;
    const int rc = Backbone::Process(R"({"op": "run", "args": {"action": "DownloadMedia", "dest": )" +
                                         JsonQuoted(Env("VAROMET_TEST_DEST")) + ", \"mi\": " + mi->Dump() + "}}",
                                     content);
    const std::string expected =
        "{\"rc\": 0, \"output\": " + JsonQuoted(media + "\\fallback\\" + Env("VAROMET_TEST_NAME")) + "}";
    PrintResult(std::to_string(rc) + " " + (content && content->Dump() == expected ? "fallback" : "other") + " " +
                (content ? content->Dump() : "<none>"));
    return 0;
}

TEST_F(Downloads, ActionWithAnUnusableDestinationUsesTheFallbackFolderAndKeepsTheName) {
    Write(folder.In(L"blocker"), "a file, not a folder");
    const std::string base = Narrow(folder.Path());
    // Requests write either separator before the file name.
    for (const std::string separator : {"\\", "/"}) {
        const std::string name = (separator == "/" ? "slash" : "backslash") + std::string(".bin");
        const std::string result = RunChild("UnusableDestinationFallsBackToTheMediaFolder",
                                            {{"WEX_TRQ_TMP", base},
                                             {"VAROMET_TEST_URL", server.Url("media.bin")},
                                             {"VAROMET_TEST_HASH", hash},
                                             {"VAROMET_TEST_DEST", base + "\\blocker\\sub" + separator + name},
                                             {"VAROMET_TEST_NAME", name}});
        EXPECT_EQ(result.rfind("0 fallback ", 0), 0u) << separator << ": " << result;
    }
}

}  // namespace
