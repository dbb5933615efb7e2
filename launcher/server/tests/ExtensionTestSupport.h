#pragma once
// Shared by the user extension tests: the fake extension as the program every extension
// starts (test mode), an active session of this process's own, a clock that moves only when
// told, a sleeper that records, and the fake's record and reply files.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Clock.h"
#include "Config.h"
#include "DaemonVersion.h"
#include "LauncherTestSupport.h"
#include "LogSink.h"
#include "OrdanaRequestInfo.h"
#include "PipeConnection.h"
#include "SessionEnumerator.h"
#include "SharedData.h"
#include "Sleeper.h"
#include "ToolBox.h"
#include "UserExtension.h"
#include "ZYNSysWin.h"
#include "ZYNSysKernelHandle.h"

namespace extension_test {

// One active session, or none.
class TestSessions final : public SessionEnumerator {
public:
    bool Enumerate(std::vector<SessionInfo>& sessions) override {
        const std::int64_t id = active.load();
        if (id >= 0) sessions.push_back(SessionInfo{static_cast<std::uint32_t>(id), 0, "Console", true});
        return true;
    }
    std::atomic<std::int64_t> active{-1};
};

// Whole seconds that move only when the test says so: pipe names become known.
class SteppingClock final : public Clock {
public:
    std::int64_t Now() override { return seconds.load() * 10000000; }
    // Starts at the real time: names stay apart from those of earlier runs.
    std::atomic<std::int64_t> seconds{std::chrono::duration_cast<std::chrono::seconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count()};
};

// Records every wait asked for and sleeps a fraction of it (0: not at all).
class RecordingSleeper final : public Sleeper {
public:
    void Sleep(std::uint32_t milliseconds) override {
        {
            std::lock_guard<std::mutex> guard(lock);
            asked.push_back(milliseconds);
        }
        if (divisor > 0) ::Sleep(milliseconds / divisor);
    }
    std::vector<std::uint32_t> Asked() {
        std::lock_guard<std::mutex> guard(lock);
        return asked;
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(lock);
        asked.clear();
    }
    std::uint32_t divisor = 1;

private:
    std::mutex lock;
    std::vector<std::uint32_t> asked;
};

// Through the C runtime, which the launcher reads, and the process environment, which
// started programs inherit; empty removes the variable.
inline void SetVariable(const wchar_t* name, const std::wstring& value) {
    ToolBox::SetEnv(Narrow(name), Narrow(value));
}

inline const wchar_t* const kFakeVariables[] = {L"FAKE_EXT_MODE", L"FAKE_EXT_EXIT_CODE", L"FAKE_EXT_DELAY_MS",
                                                L"FAKE_EXT_REPLY_FILE", L"FAKE_EXT_RECORD", L"ZYNLD_DEBUG"};

// This test program, for a child case run with an environment or a folder of its own.
inline std::wstring ThisProgram() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

inline bool ProcessEnds(DWORD pid, DWORD milliseconds) {
    ZYNSysKernelHandle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
    if (!process) return true;  // already gone
    return ::WaitForSingleObject(process.Get(), milliseconds) == WAIT_OBJECT_0;
}

// The fake extension in test mode, for every test of the program (the launcher computes
// the program's path once per process).
class ExtensionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static const bool once = [] {
            Config::Init(Narrow(BuiltProgram("no-launcher.conf")));
            Config::ActivateOption(65);
            SetVariable(L"TRQ_LAUNCHER_GUIEXE_PATH", BuiltProgram(VAROMET_FAKE_EXTENSION_EXE));
            return true;
        }();
        static_cast<void>(once);
    }

    void SetUp() override {
        // A session id of this process's own keeps pipe names apart from other test programs.
        session = 100000 + ::GetCurrentProcessId();
        sessions.active = session;
        for (const wchar_t* name : kFakeVariables) SetVariable(name, L"");
        SetVariable(L"FAKE_EXT_RECORD", folder.In(L"record.txt"));
        SetVariable(L"FAKE_EXT_REPLY_FILE", folder.In(L"reply.txt"));
        SetReply(R"({"rc":0,"content":true})");
    }

    void TearDown() override {
        SharedData::ResetForTests();
        UserExtension::SetExchangeMargin(kPipeExchangeMilliseconds);
        for (const wchar_t* name : kFakeVariables) SetVariable(name, L"");
    }

    void SetReply(const std::string& text) {
        std::ofstream out(std::filesystem::path(folder.In(L"reply.txt")), std::ios::binary | std::ios::trunc);
        out << text;
    }

    std::vector<std::string> Record() {
        std::ifstream in(std::filesystem::path(folder.In(L"record.txt")), std::ios::binary);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    std::vector<std::string> RecordWith(const std::string& prefix) {
        std::vector<std::string> found;
        for (const std::string& line : Record())
            if (line.rfind(prefix, 0) == 0) found.push_back(line);
        return found;
    }

    // Waits until the record holds count lines with the prefix.
    std::vector<std::string> WaitForRecord(const std::string& prefix, std::size_t count, DWORD milliseconds = 10000) {
        const ULONGLONG end = ::GetTickCount64() + milliseconds;
        for (;;) {
            std::vector<std::string> found = RecordWith(prefix);
            if (found.size() >= count || ::GetTickCount64() >= end) return found;
            ::Sleep(20);
        }
    }

    std::string PipeNameAt(std::int64_t seconds) const {
        return "\\\\.\\pipe\\userExt_" + std::to_string(session) + "_" + std::to_string(seconds);
    }

    static OrdanaRequestInfo Request(const std::string& id) {
        return OrdanaRequestInfo(id, "TGT-4711-secret-ticket-value", "https://enc.example/ws", "https://auth.example/ws",
                                 "https://ordana.example", DaemonVersion(2, 1));
    }

    std::uint32_t session = 0;
    TestFolder folder;
    RecordingSink sink;
    TestSessions sessions;
    SteppingClock clock;
    RecordingSleeper sleeper;
    ScopedLogSink installedSink{sink};
    ScopedSessionEnumerator installedSessions{sessions};
    ScopedClock installedClock{clock};
    ScopedSleeper installedSleeper{sleeper};
};

}  // namespace extension_test
