#include "Logger.h"

#include <share.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "Config.h"
#include "EventLogSink.h"
#include "FolderMaker.h"
#include "LogSink.h"
#include "PathName.h"
#include "QORThreads.h"
#include "ToolBox.h"

namespace {

constexpr const char* kStampPattern = "%Y_%m_%d-%H%M%S";
constexpr const char* kDayPattern = "%Y_%m_%d";

struct State {
    std::string name = "MYLOGGER";
    std::string folder;
    std::string baseFileName = "zyn_log_file";
    std::string dayStamp;
    std::string filePath;
    std::atomic<int> threshold{20};
    std::atomic<bool> initialised{false};
    std::atomic<bool> fileReady{false};
    std::atomic<bool> eventFlag{false};
    std::deque<std::string> pending;
    std::mutex initMutex, writeMutex, deferredMutex, queueMutex;
};

State& S() {
    static State* state = new State();  // never destroyed: threads may log during exit
    return *state;
}

WindowsEventLogSink g_windowsEvents;
constinit Seam<EventLogSink> g_events{g_windowsEvents};

// Depth of logger calls on this thread: a call made from inside the logger (folder
// creation, event notices) takes the queued road and never a mutex it may already hold.
thread_local int t_inside = 0;

struct Inside {
    Inside() { ++t_inside; }
    ~Inside() { --t_inside; }
};

bool Ready() {
    return S().initialised.load() && S().fileReady.load();
}

// A formatted line carries the whole cut message: its bound leaves room for the prefix
// (time, thread id, tag), which a cut at the message bound would eat into.
constexpr std::size_t kMaxLine = Logger::kMaxMessage + 128;

std::string_view Cut(std::string_view text, std::size_t limit = kMaxLine) {
    return text.size() > limit ? text.substr(0, limit) : text;
}

// The name may name nested folders with '\', but no component may climb out or hold a
// character a file name cannot. Windows drops a name's trailing dots and blanks, so ".. "
// may stand for ".." and "a." for "a": a component of dots and blanks only becomes "_", and
// trailing ones become '_' each.
std::string SafeLoggerName(const std::string& name) {
    std::vector<std::string> parts;
    ToolBox::Split(name, "\\", parts);
    std::string result;
    for (std::string part : parts) {
        for (char& c : part) {
            unsigned char u = static_cast<unsigned char>(c);
            if (u < 0x20 || std::strchr("<>:\"/|?*", c)) c = '_';
        }
        if (!part.empty() && part.find_first_not_of(". ") == std::string::npos) {
            part = "_";
        } else {
            for (std::size_t i = part.size(); i > 0 && (part[i - 1] == '.' || part[i - 1] == ' '); --i)
                part[i - 1] = '_';
        }
        if (!result.empty()) result += '\\';
        result += part;
    }
    return result;
}

std::string BuildFilePath(const State& s) {
    return s.folder + "\\" + s.name + "\\" + s.baseFileName + "_" + s.dayStamp + ".txt";
}

std::FILE* OpenForAppend(const std::string& path) {
    // "N": a command started meanwhile, inheriting handles, would keep the day's file open.
    return ::_wfsopen(ToolBox::Utf8ToWide(path).c_str(), L"atN", _SH_DENYNO);
}

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

void WriteLine(std::FILE* file, std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), file);
    std::fputc('\n', file);
}

// The debugger and the event log read a text only up to a NUL, and the conversion gives
// nothing for a text holding one: there a NUL shows as \0, and the rest of the line stays.
std::wstring ForWideSinks(std::string_view text) {
    if (!ToolBox::HoldsNul(text)) return ToolBox::Utf8ToWide(text);
    std::string shown;
    shown.reserve(text.size() + 16);
    for (const char c : text) {
        if (c == '\0') {
            shown += "\\0";
        } else {
            shown += c;
        }
    }
    return ToolBox::Utf8ToWide(shown);
}

void Echo(std::string_view message, bool queue) {
    State& s = S();
    std::string text(Cut(message));
    const bool initialised = s.initialised.load();
    const bool fileReady = s.fileReady.load();
    if (!initialised) text.insert(0, "|#LNI#|");
    else if (!fileReady) text.insert(0, "|!LCS!|");
    // After a failed Init nothing is queued: no file will ever take the lines.
    if (queue && !(initialised && !fileReady)) {
        std::lock_guard<std::mutex> lock(s.queueMutex);
        s.pending.push_back(text);
        if (s.pending.size() > Logger::kMaxPending) s.pending.pop_front();
    }
    std::wstring wide = ForWideSinks(text);
    wide += L"\r\n";
    ::OutputDebugStringW(wide.c_str());
    // One write per line: lines echoed by other threads at the same time stay whole.
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

bool PrepareLogFile() {
    State& s = S();
    std::string folder = PathName(s.filePath).GetParent().GetText();
    if (!ToolBox::File::Exists(folder) && !GetFolderMaker().MakeFolder(folder)) {
        Echo("[Logger::PrepareLogFile]Fail to create folder's application-specific logger file : " + folder, true);
        return false;
    }
    File file(OpenForAppend(s.filePath), &std::fclose);
    if (!file) {
        char reason[256];
        if (strerror_s(reason, sizeof reason, errno) != 0) reason[0] = 0;
        Echo(std::string("[Logger::PrepareLogFile][") + reason + "]Fail to write the header in this file '" +
                 s.filePath + "'",
             true);
        return false;
    }
    std::string rule(74, '#');
    WriteLine(file.get(), rule);
    WriteLine(file.get(), s.name + "[" + ToolBox::FormatTime(std::nullopt, false, true, kStampPattern) + "]");
    WriteLine(file.get(), rule);
    return true;
}

// With the write mutex held. An empty line writes only what is queued.
void WriteMsg(std::string_view line, bool withLine) {
    State& s = S();
    std::string today = ToolBox::FormatTime(std::nullopt, false, false, kDayPattern);
    if (today != s.dayStamp) {
        s.dayStamp = today;
        s.filePath = BuildFilePath(s);
        Echo("[Logger::WriteMsg]New logger file path : " + s.filePath, true);
        if (!PrepareLogFile()) Echo("[Logger::WriteMsg]PrepareLogFile failed !", true);
    }
    if (!ToolBox::File::Exists(s.filePath)) GetFolderMaker().MakeFolder(PathName(s.filePath).GetParent().GetText());

    std::unique_lock<std::mutex> queueLock(s.queueMutex);
    File file(OpenForAppend(s.filePath), &std::fclose);
    if (!file) {
        queueLock.unlock();
        if (withLine) {
            Echo("[Logger::WriteMsg]Failed to write this line:\n" + std::string(Cut(line)) + "\nin this file:\n" +
                     s.filePath,
                 true);
        }
        return;
    }
    for (const std::string& pending : s.pending) WriteLine(file.get(), pending);
    s.pending.clear();
    queueLock.unlock();
    if (withLine) WriteLine(file.get(), Cut(line));
}

std::string ToUtf8(std::wstring_view text) {
    return ToolBox::WideToUtf8(text);
}

std::atomic<LogSink*> g_testSink{nullptr};

const std::map<int, std::string>& LevelNames() {
    static const std::map<int, std::string> names = {
        {-1, "all"}, {10, "internal"}, {20, "debug"}, {30, "info"}, {40, "warn"}, {50, "error"}};
    return names;
}

}  // namespace

// ---- entry points --------------------------------------------------------------------

void Logger::Internal(std::string_view m) { Log(10, m); }
void Logger::InternalW(std::wstring_view m) { Log(10, ToUtf8(m)); }
void Logger::Debug(std::string_view m) { Log(20, m); }
void Logger::DebugW(std::wstring_view m) { Log(20, ToUtf8(m)); }
void Logger::Info(std::string_view m) { Log(30, m); }
void Logger::Warn(std::string_view m) { Log(40, m); }
void Logger::WarnW(std::wstring_view m) { Log(40, ToUtf8(m)); }
void Logger::Error(std::string_view m) { Log(50, m); }
void Logger::ErrorW(std::wstring_view m) { Log(50, ToUtf8(m)); }

void Logger::WarnWithSystemError(std::string_view m) {
    std::string suffix = ToolBox::GetSystemErrorText();
    Log(40, std::string(m) + " " + suffix);
}

void Logger::ErrorWithSystemError(std::string_view m) {
    std::string suffix = ToolBox::GetSystemErrorText();
    Log(50, std::string(m) + " " + suffix);
}

void Logger::ErrorWithSystemErrorW(std::wstring_view m) {
    std::string suffix = ToolBox::GetSystemErrorText();
    Log(50, ToUtf8(m) + " " + suffix);
}

void Logger::DeferredInternal(std::string_view m) { LogDeferred(m, 10); }
void Logger::DeferredInternalW(std::wstring_view m) { LogDeferred(ToUtf8(m), 10); }
void Logger::DeferredDebug(std::string_view m) { LogDeferred(m, 20); }
void Logger::DeferredWarn(std::string_view m) { LogDeferred(m, 40); }
void Logger::DeferredError(std::string_view m) { LogDeferred(m, 50); }

LogSink* SetLogSink(LogSink* sink) { return g_testSink.exchange(sink); }

void Logger::Log(int level, std::string_view message) {
    if (LogSink* sink = g_testSink.load()) {
        sink->Log(level, message);
        return;
    }
    if (!Ready()) {
        Echo(Cut(message, kMaxMessage), true);
        return;
    }
    if (t_inside > 0) {
        LogDeferred(message, level);
        return;
    }
    State& s = S();
    std::lock_guard<std::mutex> lock(s.writeMutex);
    Inside inside;
    if (level < s.threshold.load()) return;
    std::string line = FormatLine(level, message);
    if (s.eventFlag.load()) ThrowEvent(level, line, 1);
    Echo(line, false);
    WriteMsg(line, true);
}

void Logger::LogDeferred(std::string_view message, int level) {
    if (LogSink* sink = g_testSink.load()) {
        sink->LogDeferred(message, level);
        return;
    }
    if (!Ready()) {
        Echo(Cut(message, kMaxMessage), true);
        return;
    }
    State& s = S();
    std::string line = FormatLine(level, message);
    if (t_inside > 0) {
        // From inside the logger: no event (it could loop) and no mutex (it may be held).
        Echo(line, level >= s.threshold.load());
        return;
    }
    std::lock_guard<std::mutex> lock(s.deferredMutex);
    Inside inside;
    if (s.eventFlag.load()) ThrowEvent(level, line, 1);
    Echo(line, level >= s.threshold.load());
}

// ---- set-up and output ---------------------------------------------------------------

bool Logger::Init(const std::string& name, const std::string& folder, const std::string& baseFileName) {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.initMutex);
    Inside inside;
    if (s.initialised.load()) {
        Echo("[Logger::Init]--||LOGGER RE-INIT||--", true);
        return true;
    }
    Echo("[Logger::Init]<<LOGGER INIT>>", true);
    s.name = SafeLoggerName(name);
    s.folder = folder;
    s.baseFileName = SafeLoggerName(baseFileName.empty() ? std::string("zyn_log_file") : baseFileName);
    Echo("[Logger::Init]logger name : " + s.name, true);
    Echo("[Logger::Init]logger base folder name : " + s.folder, true);
    Echo("[Logger::Init]logger base file name : " + s.baseFileName, true);

    std::string value;
    if (Config::GetVariable(ConfigVariable::LOGLEVEL, value)) {
        int level = LevelFromName(value);
        if (level != 1000) {
            s.threshold.store(level);
            Echo("[Logger::Init]new logger's log level  : " + value, true);
        }
    }
    s.eventFlag.store(Config::IsActivated(ConfigOption::SUPER_LOGGER));
    s.dayStamp = ToolBox::FormatTime(std::nullopt, false, false, kDayPattern);
    s.filePath = BuildFilePath(s);
    Echo("[Logger::Init]Logger output file '" + s.filePath + "'", true);

    bool ok = PrepareLogFile();
    if (!ok) {
        Echo("[Logger::Init]PrepareLogFile failed !", true);
        std::string joined;
        {
            std::lock_guard<std::mutex> queueLock(s.queueMutex);
            for (std::size_t i = 0; i < s.pending.size(); ++i) joined += (i ? "\n" : "") + s.pending[i];
            s.pending.clear();
        }
        ThrowEvent(50, joined, 1);
        s.fileReady.store(false);
    } else {
        ToolBox::File::CleanOldFilesInFolder(PathName(s.filePath).GetParent().GetText(), 10, 0);
        Echo("[Logger::Init]logger file path : " + s.filePath, true);
        s.fileReady.store(true);
    }
    s.initialised.store(true);
    return ok;
}

void Logger::Flush() {
    if (!Ready() || t_inside > 0) return;
    State& s = S();
    std::lock_guard<std::mutex> lock(s.writeMutex);
    Inside inside;
    {
        std::lock_guard<std::mutex> queueLock(s.queueMutex);
        if (s.pending.empty()) return;
    }
    WriteMsg({}, false);
}

std::string Logger::FormatLine(int level, std::string_view message) {
    const char* tag = level == 10 ? "INTERNAL" : level == 20 ? "DEBUG" : level == 30 ? "INFO " : level == 40 ? "WARN " : "ERROR";
    std::string line = "<" + ToolBox::FormatTime(std::nullopt, true, true, kStampPattern) + ">(" +
                       std::to_string(QORThreads::GetCurrentThreadId()) + "){" + tag + "}:";
    line += Cut(message, kMaxMessage);
    return line;
}

void Logger::ThrowEvent(int level, std::string_view text, std::uint16_t category) {
    if (LogSink* sink = g_testSink.load()) {
        sink->ThrowEvent(level, text, category);
        return;
    }
    Inside inside;
    std::string_view cut = Cut(text);
    std::wstring wide = ForWideSinks(cut);
    // Cut to what one event string may hold rather than lose the event.
    if (wide.size() > kMaxEventText) {
        wide.resize(kMaxEventText);
        if (IS_HIGH_SURROGATE(wide.back())) wide.pop_back();  // never half a character
    }
    // Echoed, not queued: the line already reaches the file through its own road.
    Echo(cut, false);
    std::uint16_t type = (level == 10 || level == 20 || level == 30) ? EVENTLOG_INFORMATION_TYPE
                         : level == 40                               ? EVENTLOG_WARNING_TYPE
                                                                     : EVENTLOG_ERROR_TYPE;
    if (!g_events.Get().Report(type, category, 0x40000101, wide)) {
        LogDeferred("[Logger::ThrowEvent]Fail to throw windows event : [" + std::to_string(level) + "]:{" +
                        std::string(cut) + "}",
                    10);
    }
}

int Logger::LevelFromName(const std::string& name) {
    for (const auto& [level, text] : LevelNames()) {
        if (text == name) return level;
    }
    return 1000;
}

EventLogSink* Logger::SetEventSink(EventLogSink* sink) { return g_events.Set(sink); }
