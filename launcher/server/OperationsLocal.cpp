#include "OperationsLocal.h"

#include "ZYNSysWin.h"

#include <io.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "ComSupport.h"
#include "Config.h"
#include "FileSystem.h"
#include "Globals.h"
#include "Logger.h"
#include "PathName.h"
#include "ReturnCodes.h"
#include "ProcessAsUser.h"
#include "Sleeper.h"
#include "ToolBox.h"
#include "ZipShell.h"
#include "ZYNSysEnvironmentBlock.h"
#include "ZYNSysKernelHandle.h"

namespace Operations {

namespace {

constexpr char kMakeFolder[] = "[Operations::Local::MakeFolder]";

int CreateLevelByLevel(const std::string& path) {
    const PathName normalised(path);
    PathName base = normalised;
    std::size_t levels = 0;
    while (!base.IsEmpty() && !ToolBox::File::Exists(base.GetText())) {
        base = base.GetParent();
        ++levels;
    }
    if (base.IsEmpty()) {
        Logger::DeferredInternal(std::string(kMakeFolder) + "cannot find the first existing folder in this path : " +
                                 ToolBox::MaskSecretsInText(path));
    }
    Logger::DeferredInternal(std::string(kMakeFolder) + "[" + std::to_string(levels) +
                             "]base folder to use : " + ToolBox::MaskSecretsInText(base.GetText()));
    // The normalised text, so that "/" and doubled separators still give one part per level.
    std::vector<std::string> parts;
    ToolBox::Split(normalised.GetText(), "\\", parts);
    int code = -2;
    const std::size_t first = parts.size() >= levels ? parts.size() - levels : 0;
    for (std::size_t i = first; i < parts.size(); ++i) {
        base = base.Combine(PathName(parts[i]));
        const std::string shown = ToolBox::MaskSecretsInText(base.GetText());
        Logger::DeferredInternal(std::string(kMakeFolder) + "creating this folder :" + shown);
        if (!::CreateDirectoryW(ToolBox::Utf8ToWide(base.GetText()).c_str(), nullptr)) {
            code = static_cast<int>(::GetLastError());
            Logger::DeferredInternal(std::string(kMakeFolder) + "CreateDirectoryW(" + shown + ") fail errno = " +
                                     std::to_string(code));
            break;
        }
        code = 0;
    }
    return code;
}

constexpr char kCheckFile[] = "[Operations::Local::CheckFile]";
constexpr char kExecute[] = "[Operations::Local::ExecuteCmd]";

// A blank goes before every element except while the text is still empty.
std::string JoinStrings(const std::vector<std::string>& items, std::size_t from) {
    std::string line;
    for (std::size_t i = from; i < items.size(); ++i) {
        if (!line.empty()) line += ' ';
        line += items[i];
    }
    return line;
}

// The program is quoted when it holds a blank: "C:\Program Files\x.exe" would otherwise run
// "C:\Program.exe" and give the child a broken argument vector.
std::string CommandLine(const std::vector<std::string>& cmd) {
    if (cmd.empty()) return {};
    std::vector<std::string> items = cmd;
    std::string& program = items.front();
    if (program.find_first_of(" \t") != std::string::npos && program.find('"') == std::string::npos) {
        program = "\"" + program + "\"";
    }
    return JoinStrings(items, 0);
}

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// Whether the volume of the path keeps security at all (FAT and the like do not).
bool VolumeHasNoSecurity(const std::wstring& path) {
    wchar_t volume[MAX_PATH + 1] = {};
    if (!::GetVolumePathNameW(path.c_str(), volume, MAX_PATH + 1)) return false;
    DWORD flags = 0;
    if (!::GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) return false;
    return (flags & FILE_PERSISTENT_ACLS) == 0;
}

// The access check of CheckFile; a step that cannot run answers false.
bool HasAccess(const std::string& path, std::int32_t access, DWORD desired) {
    const std::wstring wide = ToolBox::Utf8ToWide(path);
    constexpr SECURITY_INFORMATION kInfo = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                           DACL_SECURITY_INFORMATION;
    DWORD needed = 0;
    if (::GetFileSecurityW(wide.c_str(), kInfo, nullptr, 0, &needed) ||
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        Logger::Warn(std::string(kCheckFile) + " guessing security descriptor size failed !");
        // Fail closed, except where the volume has no security to check.
        return VolumeHasNoSecurity(wide);
    }
    std::unique_ptr<void, FreeDeleter> descriptor(std::malloc(needed));
    if (!descriptor) {
        Logger::Internal(std::string(kCheckFile) + " malloc for PSECURITY_DESCRIPTOR failed !");
        return false;
    }
    if (!::GetFileSecurityW(wide.c_str(), kInfo, descriptor.get(), needed, &needed)) {
        Logger::Warn(std::string(kCheckFile) + " GetFileSecurityW failed !");
        return false;
    }
    ZYNSysKernelHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(),
                            TOKEN_IMPERSONATE | TOKEN_QUERY | TOKEN_DUPLICATE | STANDARD_RIGHTS_READ, token.Put())) {
        Logger::Warn(std::string(kCheckFile) + " OpenProcessToken failed !");
        return false;
    }
    ZYNSysKernelHandle impersonation;
    if (!::DuplicateToken(token.Get(), SecurityImpersonation, impersonation.Put())) {
        Logger::Warn(std::string(kCheckFile) + " DuplicateToken failed !");
        return false;
    }
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    DWORD mapped = desired;
    ::MapGenericMask(&mapped, &mapping);
    alignas(PRIVILEGE_SET) unsigned char privileges[20] = {};
    DWORD privilegesLength = sizeof privileges;
    DWORD granted = 0;
    BOOL status = FALSE;
    if (!::AccessCheck(descriptor.get(), impersonation.Get(), mapped, &mapping,
                       reinterpret_cast<PRIVILEGE_SET*>(privileges), &privilegesLength, &granted, &status)) {
        Logger::Warn(std::string(kCheckFile) + " AccessCheck failed !");
        return false;
    }
    const bool result = status == TRUE;
    Logger::Internal(std::string(kCheckFile) + " check for file [" + ToolBox::MaskSecretsInText(path) +
                     "] this access right setup [" + std::to_string(access) + "][" + std::to_string(mapped) +
                     "] : " + ToolBox::BoolToString(result));
    return result;
}

constexpr char kUnzip[] = "[Operations::Local::Unzip]";
// The shell's copy may return before it has finished: how long the target may take, counted
// in the pauses asked for between two looks (a test's sleeper shrinks them, not the limit).
constexpr std::uint64_t kExtractWaitMs = 120000;
constexpr std::uint32_t kExtractPollMs = 100;

long TopLevelCount(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    ZYNSysFindHandle search(::FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (!search) return 0;
    long count = 0;
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") ++count;
    } while (::FindNextFileW(search.Get(), &entry));
    return count;
}

// Extracts with the shell's zip folder; false after logging what failed. The copy counts only
// once the target holds every item: a wait cut short by its limit or a stop order is a failure.
bool Extract(const std::wstring& zip, const std::wstring& target) {
    const std::unique_ptr<ZipCopy> copy = GetZipShell().StartCopy(zip, target);
    if (!copy) return false;
    const long count = copy->ItemCount();
    long found = TopLevelCount(target);
    for (std::uint64_t waited = 0; found < count; found = TopLevelCount(target)) {
        if (G_STOP.load()) {
            Logger::Error(std::string(kUnzip) + "GLOBAL STOP ORDER ! extraction abandoned with " +
                          std::to_string(found) + " of " + std::to_string(count) + " items in : " +
                          ToolBox::MaskSecretsInText(ToolBox::WideToUtf8(target)));
            return false;
        }
        if (waited >= kExtractWaitMs) {
            Logger::Error(std::string(kUnzip) + "extraction unfinished after " + std::to_string(kExtractWaitMs) +
                          " ms with " + std::to_string(found) + " of " + std::to_string(count) +
                          " items in : " + ToolBox::MaskSecretsInText(ToolBox::WideToUtf8(target)));
            return false;
        }
        GetSleeper().Sleep(kExtractPollMs);
        waited += kExtractPollMs;
    }
    Logger::Debug(std::string(kUnzip) + "Successfully extracted " + std::to_string(count) + " files from '" +
                  ToolBox::MaskSecretsInText(ToolBox::WideToUtf8(zip)) + "'");
    return true;
}

}  // namespace

std::int32_t Local::Unzip(const std::string& zipPath, const std::string& targetDir) {
    const std::string zipShown = ToolBox::MaskSecretsInText(zipPath);
    const std::string targetShown = ToolBox::MaskSecretsInText(targetDir);
    Logger::Debug(std::string(kUnzip) + "params:\n\t-[zipPath]:" + zipShown + "\n\t-[targetDir]:" + targetShown);
    if (zipPath.empty()) {
        Logger::Warn(std::string(kUnzip) + "Zip file path is empty.");
        return kUnzipArgumentEmpty;
    }
    if (!PathAccessible(ToolBox::Utf8ToSharedWString(zipPath))) {
        Logger::Error(std::string(kUnzip) + "Zip file path is invalid, it does not denote a existing zip file : " +
                      zipShown);
        return kUnzipFailed;
    }
    if (targetDir.empty()) {
        Logger::ErrorW(L"[Operations::Local::Unzip]Unzip target directory is empty");
        return kUnzipArgumentEmpty;
    }
    if (PathAccessible(ToolBox::Utf8ToSharedWString(targetDir))) {
        Logger::Internal(std::string(kUnzip) + "the unzip folder already existe : " + targetShown);
        if (Config::IsActivated(ConfigOption::KEEP_MEDIA_UNZIP)) {
            Logger::Internal(std::string(kUnzip) + "Config set ! keep the folder : " + targetShown);
            return kUnzipDone;
        }
        if (DeletePathIfExists(ToolBox::Utf8ToSharedWString(targetDir)) != 0) {
            Logger::Error(std::string(kUnzip) + "Fail to delete the unzip folder : " + targetShown);
            return kUnzipFailed;
        }
    }
    if (!MakeFolder(targetDir)) {
        Logger::Error(std::string(kUnzip) + "Fail to create folder : " + targetShown);
        return kUnzipFailed;
    }
    Logger::Debug(std::string(kUnzip) + "output dir : " + targetShown);
    ComApartment apartment;
    if (apartment.Result() != S_OK) Logger::Error(std::string(kUnzip) + "CoInitialize failed !");
    return Extract(ToolBox::Utf8ToWide(zipPath), ToolBox::Utf8ToWide(targetDir)) ? kUnzipDone : kUnzipFailed;
}

bool Local::CheckFile(const std::string& path, std::int32_t kind, std::int32_t access) {
    const std::string shown = ToolBox::MaskSecretsInText(path);
    bool found = false;
    switch (kind) {
        case 0:
            found = ToolBox::File::Exists(path);
            Logger::Internal(std::string(kCheckFile) + " is existe[" + shown + "]: " + ToolBox::BoolToString(found));
            break;
        case 1:
            found = ToolBox::File::IsFile(path);
            Logger::Internal(std::string(kCheckFile) + " is file[" + shown + "]: " + ToolBox::BoolToString(found));
            break;
        case 2:
            found = ToolBox::File::IsDirectory(path);
            Logger::Internal(std::string(kCheckFile) + " is dir[" + shown + "]: " + ToolBox::BoolToString(found));
            break;
        default:
            Logger::Error(std::string(kCheckFile) + " unsupported kind check : " + std::to_string(kind));
            return false;
    }
    if (!found) return false;
    DWORD desired = 0;
    switch (access) {
        case 0:
            Logger::Internal(std::string(kCheckFile) + " CheckAccessType set to ANY, nothing to do here !");
            return true;
        case 1:
            Logger::Internal(std::string(kCheckFile) + " access right setup: GENERIC_READ");
            desired = GENERIC_READ;
            break;
        case 2:
            Logger::Internal(std::string(kCheckFile) + " access right setup: GENERIC_WRITE");
            desired = GENERIC_WRITE;
            break;
        case 3:
            Logger::Internal(std::string(kCheckFile) + " access right setup: GENERIC_WRITE | GENERIC_READ");
            desired = GENERIC_WRITE | GENERIC_READ;
            break;
        default:
            Logger::Error(std::string(kCheckFile) + " unsupported access check : " + std::to_string(access));
            return false;
    }
    return HasAccess(path, access, desired);
}

bool Local::ExecuteCmd(const std::vector<std::string>& cmd, std::int32_t& exitCode, bool asSessionUser,
                       std::int32_t timeoutMs, bool runas, std::int32_t sessionId) {
    const std::string line = CommandLine(cmd);
    Logger::Debug(std::string(kExecute) + "Try to launch command : [" + ToolBox::MaskSecretsInText(line) + "]");
    // The platform would read the program or an argument only up to the NUL: something else
    // would run (an elevated start would drop the arguments).
    if (ToolBox::HoldsNul(line)) {
        Logger::Error(std::string(kExecute) + " the command line holds a NUL character : nothing is started.");
        return false;
    }
    ZYNSysKernelHandle shellProcess;  // of the elevated start, which has no thread handle
    StartedProcess started;
    if (runas) {
        // Nothing to run: the shell would be asked for an empty file.
        if (cmd.empty()) {
            Logger::Error(std::string(kExecute) + " ShellExecuteExW failed !");
            return false;
        }
        const std::wstring file = ToolBox::Utf8ToWide(cmd.front());
        const std::wstring parameters = ToolBox::Utf8ToWide(JoinStrings(cmd, 1));
        SHELLEXECUTEINFOW info{};
        info.cbSize = sizeof info;
        info.fMask = SEE_MASK_UNICODE | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOCLOSEPROCESS;
        if (timeoutMs != 0) info.fMask |= SEE_MASK_NOASYNC;
        info.lpVerb = L"runas";
        info.lpFile = file.c_str();
        info.lpParameters = parameters.c_str();
        info.nShow = SW_SHOW;
        // The shell may start the program through COM or DDE: it needs a single-threaded
        // apartment on the calling thread, which a client thread has not.
        const ComApartment apartment(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
        if (FAILED(apartment.Result())) {
            Logger::Warn(std::string(kExecute) + " CoInitializeEx failed : " +
                         ToolBox::HResultToString(apartment.Result()));
        }
        if (::ShellExecuteExW(&info) != TRUE) {
            Logger::Error(std::string(kExecute) + " ShellExecuteExW failed !");
            return false;
        }
        shellProcess.Reset(info.hProcess);
        Logger::Info(std::string(kExecute) + " ShellExecuteExW successed !");
        const auto instance = static_cast<std::int64_t>(reinterpret_cast<INT_PTR>(info.hInstApp));
        if (instance <= 32) {
            Logger::Error(std::string(kExecute) + " Process executed by ShellExecuteExW encounter error : " +
                          std::to_string(instance));
        }
    } else if (asSessionUser) {
        std::uint32_t session = 0;
        if (sessionId >= 1) {
            session = static_cast<std::uint32_t>(sessionId);
        } else if (!ToolBox::GetActiveSessionId(session)) {
            Logger::Error(std::string(kExecute) + "Fail to retrieve current active session id !");
            return false;
        }
        ProcessStart start =
            StartProcessAsUser({session, ToolBox::Utf8ToWide(line), CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT});
        if (start.failed == ProcessStartStep::Token) {
            Logger::Error(std::string(kExecute) + "Fail to retrieve user's token for session '" +
                          std::to_string(session) + "' !");
            return false;
        }
        if (start.failed == ProcessStartStep::Environment) {
            Logger::Error(std::string(kExecute) + " Fail to create Environment objects!");
            return false;
        }
        if (start.environmentNotDestroyed) Logger::Error(std::string(kExecute) + " Fail to delete Environment objects!");
        if (start.failed != ProcessStartStep::None) {
            Logger::Error(std::string(kExecute) + " CreateProcessAsUserW failed !");
            return false;
        }
        Logger::Debug(std::string(kExecute) + " CreateProcessAsUserW successed !");
        started = std::move(start.process);
    } else {
        ProcessStart start = StartProcessAsUser({std::nullopt, ToolBox::Utf8ToWide(line), CREATE_NO_WINDOW});
        if (start.failed != ProcessStartStep::None) {
            Logger::Error(std::string(kExecute) + " CreateProcessW failed !");
            return false;
        }
        Logger::Debug(std::string(kExecute) + " CreateProcessW successed !");
        started = std::move(start.process);
    }
    const HANDLE process = runas ? shellProcess.Get() : started.Process();

    bool result = true;
    if (timeoutMs == 0) {
        exitCode = 0;
    } else {
        const DWORD wait = ::WaitForSingleObject(process, static_cast<DWORD>(timeoutMs));
        if (wait == WAIT_OBJECT_0) {
            DWORD code = 0;
            if (::GetExitCodeProcess(process, &code)) {
                exitCode = static_cast<std::int32_t>(code);
                Logger::Info(std::string(kExecute) + " launch command successed ! (rc:" +
                             std::to_string(static_cast<std::int32_t>(code)) + ")");
            } else {
                Logger::Error(std::string(kExecute) + " launch command failed : " + std::to_string(code));
                exitCode = 0;
            }
        } else if (wait == WAIT_TIMEOUT) {
            Logger::Error(std::string(kExecute) + " Waiting for process to end timeout after [" +
                          std::to_string(timeoutMs) + "] ms !");
            result = false;
        } else {
            Logger::Error(std::string(kExecute) + " Waiting for process to end failed ! (winrc:" +
                          std::to_string(wait) + ")");
            result = false;
        }
    }
    Logger::Debug(std::string(kExecute) + "return code : [ " + ToolBox::BoolToString(result) + "]");
    return result;
}

bool Local::ExecuteCmdNoRunas(const std::vector<std::string>& cmd, std::int32_t& exitCode, bool asSessionUser,
                              std::int32_t timeoutMs, std::int32_t sessionId) {
    return ExecuteCmd(cmd, exitCode, asSessionUser, timeoutMs, false, sessionId);
}

bool Local::MakeFolder(const std::string& path) {
    const std::string shown = ToolBox::MaskSecretsInText(path);
    Logger::DeferredInternal(std::string(kMakeFolder) + "try to create this folder : " + shown);
    if (path.empty()) {
        Logger::DeferredError(std::string(kMakeFolder) + "empty string was gave.");
        return false;
    }
    const std::wstring wide = ToolBox::Utf8ToWide(path);
    // The conversion gives nothing for a path the platform would read only in part.
    if (wide.empty()) {
        Logger::DeferredError(std::string(kMakeFolder) + "not a usable path : " + shown);
        return false;
    }
    const errno_t access = ::_waccess_s(wide.c_str(), 0);
    if (access == 0) {
        if (ToolBox::File::IsDirectory(path)) return true;
        // A file of that name is no folder: nothing can be created there.
        Logger::DeferredError(std::string(kMakeFolder) + "a file already uses this path : " + shown);
        return false;
    }
    Logger::DeferredInternal(std::string(kMakeFolder) + "the given path does not exist ( _waccess_s return [" +
                             std::to_string(access) + "] )");
    int code = -2;
    // Memory-check runs create level by level.
    if (!Config::IsActivated(ConfigOption::MEMORY_CHECK_RUN)) {
        // The shell's maker refuses "/" and doubled separators: it gets the normalised form.
        const PathName normalised(path);
        const std::wstring target = normalised.IsEmpty() ? wide : ToolBox::Utf8ToWide(normalised.GetText());
        // Where levels are missing it keeps only MAX_PATH units of a longer path, and makes the
        // folders of that shorter text.
        code = target.size() >= MAX_PATH ? ERROR_FILENAME_EXCED_RANGE
                                         : ::SHCreateDirectoryExW(nullptr, target.c_str(), nullptr);
    } else {
        code = CreateLevelByLevel(path);
    }

    const std::string head = std::string(kMakeFolder) + "(" + std::to_string(access);
    switch (code) {
        case 0:
            Logger::DeferredInternal(head + ")successfully created this folder : '" + shown + "' !");
            return true;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            // Also the answer when a file appeared under that name meanwhile.
            if (!ToolBox::File::IsDirectory(path)) break;
            Logger::DeferredWarn(head + ") The directory '" + shown +
                                 "' already exists but _waccess_s failed ! there might be some access problem for "
                                 "'SYSTEM' account.");
            return true;
        case ERROR_PATH_NOT_FOUND:
            Logger::Error(head + ")The system cannot find the path pointed to by '" + shown +
                          "'. The path may contain an invalid entry.");
            return false;
        case ERROR_ACCESS_DENIED:
            Logger::DeferredError(head + ")Access is denied on '" + shown + "' .");
            return false;
        case ERROR_BAD_PATHNAME:
            Logger::DeferredError(head + ")The '" + shown + "' parameter was set to a relative path.");
            return false;
        case ERROR_FILENAME_EXCED_RANGE:
            Logger::DeferredError(head + ")The path pointed to by '" + shown + "' is too long.");
            ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        case ERROR_CANCELLED:
            Logger::DeferredError(head + ")The user canceled the operation on '" + shown + "'.");
            return false;
        default:
            break;
    }
    Logger::DeferredError(head + ")Fail to create this folder (" + std::to_string(code) + ") : " + shown);
    return false;
}

bool Local::PostMessageToWindow(const std::string& windowClass, std::uint32_t message, std::uint64_t wparam,
                                std::int64_t lparam) {
    const std::string shown = ToolBox::MaskSecretsInText(windowClass);
    Logger::Internal("[Operations::Local::PostMessageToWindow]Try to PostMessage to window(" + shown +
                     ") with these param : label:[" + std::to_string(message) + "]//wparam:[" + std::to_string(wparam) +
                     "]//lparam:[" + std::to_string(lparam) + "]");
    HWND window = ::FindWindowW(ToolBox::Utf8ToWide(windowClass).c_str(), nullptr);
    if (!window) {
        Logger::Warn("[Operations::Local::PostMessageToWindow]Fail to find window  with this name : " + shown);
        return false;
    }
    if (!::PostMessageW(window, message, static_cast<WPARAM>(wparam), static_cast<LPARAM>(lparam))) {
        Logger::Warn("[Operations::Local::PostMessageToWindow]PostMessage to SysTray window fail!");
        return false;
    }
    Logger::Internal("[Operations::Local::PostMessageToWindow] Postmessage to window [" + shown +
                     "] has succeed !");
    return true;
}

}  // namespace Operations
