#include "BaseTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "PathName.h"
#include "ToolBox.h"
#include "ZYNSysKernelHandle.h"

namespace fs = std::filesystem;

namespace {

const char* const kLauncherVariables[] = {"WEX_TRQ_TMP", "WEX_TRQ_UUID", "WEX_TRQ_EXECTOOL", "TrqConfPath"};

void SetVar(const std::string& name, const std::string* value) {
    ::SetEnvironmentVariableW(ToolBox::Utf8ToWide(name).c_str(), value ? ToolBox::Utf8ToWide(*value).c_str() : nullptr);
}

std::string Var(const char* name) {
    std::string value;
    ToolBox::GetEnv(name, value);
    return value;
}

ChildProcess::Result RunCopy(const std::string& program, const char* name, const TestFolder& dir) {
    ChildProcess::Result result;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const std::wstring capture = dir.In(L"child-output.txt");
    ZYNSysKernelHandle out(::CreateFileW(capture.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                         CREATE_ALWAYS, 0, nullptr));
    if (!out) return result;
    std::wstring line = L"\"" + ToolBox::Utf8ToWide(program) + L"\" --child-case=" + ToolBox::Utf8ToWide(name);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = out.Get();
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
        return result;
    ZYNSysKernelHandle process(info.hProcess), thread(info.hThread);
    out.Reset();
    DWORD code = 1;
    result.started =
        ::WaitForSingleObject(process.Get(), INFINITE) == WAIT_OBJECT_0 && ::GetExitCodeProcess(process.Get(), &code);
    result.exitCode = code;
    result.output = ReadFileBytes(dir.Utf8In("child-output.txt"));
    return result;
}

}  // namespace

ChildProcess::Result RunChild(const char* name, const TestFolder& dir, const EnvList& env, const std::string& program) {
    std::string folder = dir.Utf8();
    SetVar("VAROMET_TEST_DIR", &folder);
    for (const char* variable : kLauncherVariables) SetVar(variable, nullptr);
    for (const auto& [key, value] : env) SetVar(key, &value);
    ChildProcess::Result result = program.empty() ? ChildProcess::Run(name) : RunCopy(program, name, dir);
    std::erase(result.output, '\r');  // the child's standard output is in text mode
    SetVar("VAROMET_TEST_DIR", nullptr);
    for (const auto& entry : env) SetVar(entry.first, nullptr);
    return result;
}

std::vector<std::string> Said(const std::string& output, const std::string& key) {
    std::vector<std::string> values;
    const std::string mark = "@@" + key + "=";
    for (std::size_t at = output.find(mark); at != std::string::npos; at = output.find(mark, at + 1)) {
        if (at != 0 && output[at - 1] != '\n') continue;
        std::size_t from = at + mark.size();
        std::size_t end = output.find('\n', from);
        std::string value = output.substr(from, end == std::string::npos ? std::string::npos : end - from);
        if (!value.empty() && value.back() == '\r') value.pop_back();
        values.push_back(value);
    }
    return values;
}

std::string SaidOne(const std::string& output, const std::string& key) {
    std::vector<std::string> values = Said(output, key);
    return values.empty() ? "<none>" : values.front();
}

std::string ChildDir() {
    std::string dir = Var("VAROMET_TEST_DIR");
    // Run by hand without a folder: never let a case write at the root of the drive.
    if (dir.empty()) {
        std::fputs("VAROMET_TEST_DIR is not set\n", stderr);
        ::ExitProcess(90);
    }
    return dir;
}
std::string ChildArg() {
    return Var("VAROMET_TEST_ARG");
}

void Say(const std::string& key, const std::string& value) {
    std::string line = "@@" + key + "=";
    for (char c : value) line += c == '\n' ? std::string("\\n") : std::string(1, c);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(fs::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::string& path, std::string_view bytes) {
    std::ofstream out(fs::path(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool PathExists(const std::string& path) {
    return ::GetFileAttributesW(ToolBox::Utf8ToWide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> SplitCrLf(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t from = 0; from < text.size();) {
        std::size_t end = text.find("\r\n", from);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(from, end - from));
        from = end + 2;
    }
    return lines;
}

std::int64_t UtcUnits(int year, int month, int day, int hour, int minute, int second) {
    SYSTEMTIME time{
        static_cast<WORD>(year),   static_cast<WORD>(month),  0, static_cast<WORD>(day), static_cast<WORD>(hour),
        static_cast<WORD>(minute), static_cast<WORD>(second), 0};
    FILETIME file;
    ::SystemTimeToFileTime(&time, &file);
    ULARGE_INTEGER units{{file.dwLowDateTime, file.dwHighDateTime}};
    return static_cast<std::int64_t>(units.QuadPart) - 116444736000000000;
}

std::vector<RecordingSink::Entry> RecordingSink::Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Entry> taken;
    taken.swap(entries_);
    return taken;
}

bool RecordingSink::Has(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Entry& e : entries_)
        if (e.text == text) return true;
    return false;
}

void RecordingSink::Add(Entry e) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(std::move(e));
}

bool FakeEvents::Report(std::uint16_t type, std::uint16_t category, std::uint32_t id, std::wstring_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    events.push_back({type, category, id, std::wstring(text)});
    return released_;
}
