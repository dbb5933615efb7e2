#include "ZYNSysTraceOutput.h"

#include <cstdarg>
#include <cstring>
#include <cwchar>
#include <new>

#include "ZYNSysKernelHandle.h"
#include "ZYNSysOwnerQuery.h"
#include "ZYNSysPath.h"
#include "ZYNSysRotatingFile.h"
#include "ZYNSysTimer.h"
#include "ZYNSysTraceManager.h"
#include "ZYNSysWin.h"

namespace {

// A folder the trace may write into: a directory, and not a link that could send a privileged
// process's files to where someone else chose.
bool IsPlainDirectory(const wchar_t* path) {
    const DWORD attributes = ::GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool MakePlainDirectory(const wchar_t* path) {
    if (!::CreateDirectoryW(path, nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) return false;
    return IsPlainDirectory(path);
}

void StripTrailingSeparatorW(std::wstring& path) {
    if (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
}

std::wstring Environment(const wchar_t* name) {
    wchar_t value[2048];
    const DWORD length = ::GetEnvironmentVariableW(name, value, 2048);
    if (length == 0 || length >= 2048) return std::wstring();
    return std::wstring(value, length);
}

// Appends a formatted piece, cutting what does not fit.
void AppendPiece(char* buffer, std::size_t size, std::size_t& used, const char* format, ...) {
    if (used + 1 >= size) return;
    va_list arguments;
    va_start(arguments, format);
    const int written = std::vsnprintf(buffer + used, size - used, format, arguments);
    va_end(arguments);
    if (written < 0) {
        buffer[used] = '\0';
        return;
    }
    used += static_cast<std::size_t>(written) < size - used ? static_cast<std::size_t>(written)
                                                            : size - used - 1;
}

bool CalendarTime(std::int64_t unixSeconds, bool localTime, SYSTEMTIME& out) {
    ULARGE_INTEGER ticks;
    ticks.QuadPart = static_cast<ULONGLONG>(unixSeconds) * 10000000ULL + 116444736000000000ULL;
    FILETIME utc{ticks.LowPart, ticks.HighPart};
    FILETIME shown = utc;
    if (localTime && !::FileTimeToLocalFileTime(&utc, &shown)) return false;
    return ::FileTimeToSystemTime(&shown, &out) != 0;
}

// The process's temporary folder in its plain form ("C:\..." or "\\server\..."), the form
// the other candidates and the trace folder's name keep; empty when there is none.
std::wstring SystemTempDirectory() {
    ZYNSysPath temp;
    if (temp.SetToTempDirectory() != 0 || temp.Text() == nullptr) return std::wstring();
    const std::wstring text(temp.Text(), temp.Length());
    if (text.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\" + text.substr(7);
    if (text.compare(0, 4, L"\\\\?\\") == 0) return text.substr(4);
    return text;
}

}  // namespace

// ---- memory ring ----

std::unique_ptr<ZYNSysTraceRing> ZYNSysTraceRing::Create(const wchar_t* path, std::uint32_t size) {
    if (path == nullptr || size == 0) return nullptr;
    ZYNSysKernelHandle file(::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return nullptr;
    // Each ring has a mapping of its own and no name: a shared name would mix the rings of
    // several outputs and processes and let any process of the session read them.
    ZYNSysKernelHandle mapping(::CreateFileMappingW(file.Get(), nullptr, PAGE_READWRITE, 0, size, nullptr));
    if (!mapping) return nullptr;
    ZYNSysMappedView view(::MapViewOfFile(mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, size));
    if (!view) return nullptr;
    std::memset(view.Get(), 0, size);
    std::unique_ptr<ZYNSysTraceRing> ring(new (std::nothrow) ZYNSysTraceRing(size, std::move(view)));
    return ring;
}

ZYNSysTraceRing::ZYNSysTraceRing(std::uint32_t size, ZYNSysMappedView view)
    : size_(size), left_(size), view_(std::move(view)) {}

ZYNSysTraceRing::~ZYNSysTraceRing() = default;

void ZYNSysTraceRing::Write(const char* text, std::size_t length) {
    char* base = static_cast<char*>(view_.Get());
    while (length > 0) {
        const std::size_t chunk = length < left_ ? length : left_;
        std::memcpy(base + position_, text, chunk);
        text += chunk;
        length -= chunk;
        position_ = static_cast<std::uint32_t>((position_ + chunk) % size_);
        left_ = size_ - position_;
    }
}

// ---- output ----

ZYNSysTraceOutput::ZYNSysTraceOutput(const char* name, ZYNSysTraceManager* manager) : manager_(manager) {
    std::strncpy(name_, name ? name : "", sizeof name_ - 1);
}

ZYNSysTraceOutput::~ZYNSysTraceOutput() { Close(); }

int ZYNSysTraceOutput::AddName(const char* traceName) {
    if (traceName == nullptr || *traceName == '\0') return -1;
    if (FindName(traceName) != nullptr) return 0;
    // Filled from the top down, as the manager searches.
    for (int i = kMaxNames - 1; i >= 0; --i) {
        if (names_[i]) continue;
        const std::size_t length = std::strlen(traceName);
        names_[i].reset(new (std::nothrow) char[length + 1]);
        if (!names_[i]) return -1;
        std::memcpy(names_[i].get(), traceName, length + 1);
        return 0;
    }
    return -1;
}

const char* ZYNSysTraceOutput::FindName(const char* traceName) const {
    if (traceName == nullptr) return nullptr;
    for (int i = kMaxNames - 1; i >= 0; --i) {
        if (names_[i] && std::strcmp(names_[i].get(), traceName) == 0) return names_[i].get();
    }
    return nullptr;
}

int ZYNSysTraceOutput::BindStdStream(std::FILE* stream) {
    if (standard_ != nullptr || file_.IsValid() || (stream != stdout && stream != stderr)) return -1;
    standard_ = stream;
    return 0;
}

int ZYNSysTraceOutput::Open() {
    if (std::strcmp(name_, "STDERR") == 0) return BindStdStream(stderr);
    if (std::strcmp(name_, "STDOUT") == 0 || std::strcmp(name_, "STDOUT_COMMON") == 0) {
        if (ringSize_ != 0) {
            standard_ = stdout;
            return -1;
        }
        return BindStdStream(stdout);
    }
    if (folder_.empty()) {
        const int made = manager_ != nullptr ? manager_->ProcessFolder(localTime_, folder_)
                                             : MakeTraceProcessFolder(localTime_, folder_);
        if (made != 0) return -1;
    }
    wchar_t wideName[64];
    if (::MultiByteToWideChar(CP_ACP, 0, name_, -1, wideName, 64) == 0) return -1;
    const std::wstring path = folder_ + L"\\" + wideName;
    if (path.size() >= 512) return 0;  // too long: stays closed, not an error
    return OpenStorage(path.c_str());
}

int MakeTraceProcessFolder(bool localTime, std::wstring& made) {
    wchar_t directory[2048];
    if (GetTraceDirectory(directory, 2048) != 0) return -1;
    std::wstring folder(directory);
    StripTrailingSeparatorW(folder);
    ZYNSysTimeOfDay now{};
    SYSTEMTIME when{};
    if (ZYNSysTimerGetTimeOfDay(&now) != 0 || !CalendarTime(now.seconds, localTime, when)) return -1;
    wchar_t leaf[96];
    std::swprintf(leaf, 96, L"\\D%d%02d%02d_T%02d%02d%02d_P%08d_I", when.wYear, when.wMonth, when.wDay,
                  when.wHour, when.wMinute, when.wSecond, static_cast<int>(::GetCurrentProcessId()));
    folder += leaf;
    // The name can be guessed: a folder that is already there was made by someone else,
    // who could read the lines or have planted links in it.
    if (!::CreateDirectoryW(folder.c_str(), nullptr)) return -1;
    made = folder;
    return 0;
}

int ZYNSysTraceOutput::OpenStorage(const wchar_t* path) {
    if (path == nullptr) return -1;
    if (ringSize_ != 0) {
        ring_ = ZYNSysTraceRing::Create(path, ringSize_);
        if (!ring_) return -1;
    } else if (rotateSize_ > 0 && rotateCount_ > 0) {
        rotating_.reset(new (std::nothrow) ZYNSysRotatingFile(path, rotateSize_, rotateCount_));
        if (!rotating_ || rotating_->Open() != 0) {
            rotating_.reset();
            return -1;
        }
    } else {
        file_.Reset(::_wfopen(path, L"a+N"));
        if (!file_) standard_ = stdout;
    }
    fileName_ = path;
    return 0;
}

const char* ZYNSysTraceOutput::BuildPrefix(const ZYNSysTraceMessage& message) {
    std::size_t used = 0;
    prefix_[0] = '\0';
    if (message.mask & 1) {
        ZYNSysTimeOfDay now{};
        SYSTEMTIME when{};
        if (ZYNSysTimerGetTimeOfDay(&now) == 0 && CalendarTime(now.seconds, localTime_, when)) {
            lastPrefixTime_ = now.seconds;
            AppendPiece(prefix_, sizeof prefix_, used,
                        localTime_ ? "[%d-%02d-%02d@%02d:%02d:%02d.%03d]" : "[%d-%02d-%02dT%02d:%02d:%02d.%03dZ]",
                        when.wYear, when.wMonth, when.wDay, when.wHour, when.wMinute, when.wSecond,
                        static_cast<int>(now.microseconds / 1000));
        } else {
            if (localTime_) {
                ::GetLocalTime(&when);
            } else {
                ::GetSystemTime(&when);
            }
            AppendPiece(prefix_, sizeof prefix_, used,
                        localTime_ ? "[%d-%02d-%02d@%02d:%02d:%02d]" : "[%d-%02d-%02dT%02d:%02d:%02dZ]", when.wYear,
                        when.wMonth, when.wDay, when.wHour, when.wMinute, when.wSecond);
        }
    }
    if (message.mask & 2) AppendPiece(prefix_, sizeof prefix_, used, "[%s]", message.traceName ? message.traceName : "");
    if (message.mask & 16) {
        AppendPiece(prefix_, sizeof prefix_, used, "[%016llX]",
                    static_cast<unsigned long long>(::GetCurrentThreadId()));
    }
    if (message.sourceFile != nullptr) {
        AppendPiece(prefix_, sizeof prefix_, used, "(%s : %d)", message.sourceFile, message.line);
    }
    AppendPiece(prefix_, sizeof prefix_, used, " ");
    return prefix_;
}

int ZYNSysTraceOutput::WriteMapped(const char* text) {
    if (!ring_ || text == nullptr) return -1;
    ring_->Write(text, std::strlen(text));
    return 0;
}

int ZYNSysTraceOutput::WriteLine(int severity, const char* message, const char* prefix, const char* terminator) {
    if (message == nullptr || prefix == nullptr) return -1;
    if (terminator == nullptr) terminator = "";
    if (ring_) {
        WriteMapped(prefix);
        WriteMapped(message);
        return WriteMapped(terminator);
    }
    const char* tag = severity == 1 ? "[I]" : severity == 2 ? "[D]" : severity == 3 ? "[W]" : severity == 4 ? "[E]" : "";
    if (rotating_) {
        const std::size_t lengths[4] = {std::strlen(tag), std::strlen(prefix), std::strlen(message),
                                        std::strlen(terminator)};
        const std::size_t total = lengths[0] + lengths[1] + lengths[2] + lengths[3];
        std::unique_ptr<char[]> heap;
        char* line = work_;
        if (total + 1 > sizeof work_) {
            heap.reset(new (std::nothrow) char[total + 1]);
            if (!heap) return -1;
            line = heap.get();
        }
        char* end = line;
        for (const char* part : {tag, prefix, message, terminator}) {
            const std::size_t length = std::strlen(part);
            std::memcpy(end, part, length);
            end += length;
        }
        *end = '\0';
        return rotating_->Write(line, total) == static_cast<int>(total) ? 0 : -1;
    }
    std::FILE* stream = file_.IsValid() ? file_.Get() : standard_;
    if (stream == nullptr) return -1;
    const int written = std::fprintf(stream, "%s%s%s%s", tag, prefix, message, terminator);
    std::fflush(stream);
    return written < 0 ? -1 : 0;
}

int ZYNSysTraceOutput::Close() {
    int result = 0;
    if (file_.IsValid()) {
        std::FILE* stream = file_.Take();
        if (std::fflush(stream) != 0) result = -1;
        if (std::fclose(stream) != 0) result = -1;
    }
    rotating_.reset();
    ring_.reset();
    // Standard output and error stay bound: lines traced after the exit hook still go there.
    opened_ = standard_ != nullptr;
    if (!fileName_.empty()) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (::GetFileAttributesExW(fileName_.c_str(), GetFileExInfoStandard, &data) &&
            (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && data.nFileSizeHigh == 0 &&
            data.nFileSizeLow == 0) {
            ::DeleteFileW(fileName_.c_str());
        }
        // Fails while anything is left in the folder, which is what we want.
        if (!folder_.empty()) ::RemoveDirectoryW(folder_.c_str());
    }
    return result;
}

bool IsOwnedByTrustedAccount(HANDLE object, SE_OBJECT_TYPE type) {
    BYTE ownerBytes[SECURITY_MAX_SID_SIZE];
    const PSID owner = ownerBytes;
    if (!ZYNSysGetOwnerQuery().Read(object, type, owner, sizeof ownerBytes)) return false;
    if (::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || ::IsWellKnownSid(owner, WinLocalSystemSid)) return true;
    HANDLE opened = nullptr;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &opened) &&
        !::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &opened)) {
        return false;
    }
    const ZYNSysKernelHandle token(opened);
    DWORD size = 0;
    ::GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    if (size == 0) return false;
    std::unique_ptr<BYTE[]> user(new (std::nothrow) BYTE[size]);
    if (!user || !::GetTokenInformation(token.Get(), TokenUser, user.get(), size, &size)) return false;
    return ::EqualSid(owner, reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid) != 0;
}

int GetTraceDirectory(wchar_t* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0) return -1;
    std::wstring candidates[5] = {Environment(L"QORTraceDir"), Environment(L"QORTemp"), SystemTempDirectory(),
                                  std::wstring(), L"\\tmp"};
    wchar_t current[MAX_PATH + 1];
    const DWORD currentLength = ::GetCurrentDirectoryW(MAX_PATH + 1, current);
    if (currentLength > 0 && currentLength <= MAX_PATH) candidates[3].assign(current, currentLength);

    for (std::wstring& candidate : candidates) {
        if (candidate.empty()) continue;
        StripTrailingSeparatorW(candidate);
        const std::wstring folder = candidate + L"\\ZYNSysTrace";
        if (folder.size() + 1 > size) continue;
        const DWORD attributes = ::GetFileAttributesW(candidate.empty() ? L"\\" : candidate.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
        if (!MakePlainDirectory(folder.c_str())) return -1;
        // In a shared temporary folder another user may have made it first, to read the lines
        // or plant links in it.
        const ZYNSysKernelHandle opened(::CreateFileW(folder.c_str(), READ_CONTROL,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                      OPEN_EXISTING,
                                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!opened || !IsOwnedByTrustedAccount(opened.Get(), SE_FILE_OBJECT)) return -1;
        std::wmemcpy(buffer, folder.c_str(), folder.size() + 1);
        return 0;
    }
    return -1;
}
