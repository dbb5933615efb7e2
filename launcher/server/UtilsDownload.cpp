// Media downloads straight through WinINet: a lock file beside the target, a running MD5,
// range resumes after a failed read, and progress in the tray.

#include "ZYNSysWin.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <shlwapi.h>
#include <wincrypt.h>

#include "Config.h"
#include "FileSystem.h"
#include "Globals.h"
#include "Logger.h"
#include "MediaInfo.h"
#include "OperationsLocal.h"
#include "OrdanaRequestInfo.h"
#include "PathName.h"
#include "QORHttpPrompt.h"
#include "ReturnCodes.h"
#include "Sleeper.h"
#include "SystrayComs.h"
#include "SystrayOperation.h"
#include "ToolBox.h"
#include "Utils.h"
#include "ValidatedPath.h"
#include "ZYNSysCryptHandle.h"
#include "ZYNSysInternetHandle.h"
#include "ZYNSysKernelHandle.h"

namespace {

constexpr DWORD kBlockSize = 65536;
constexpr std::uint32_t kRetryWaitMs = 5000;
constexpr std::uint32_t kPollMs = 250;
constexpr std::uint32_t kLockGoneWaitMs = 1000;
constexpr DWORD kTimeoutMs = 30000;
constexpr int kMaxTries = 3;
constexpr int kMaxRedirects = 10;

constexpr DWORD kConnectFlags = 0x400000;
constexpr DWORD kRequestFlags = 0x84C00900;
constexpr DWORD kPlainRequestFlags = 0x84400900;
// Redirects are followed here, with a bound: WinINet's own following never gives up on a
// link that sends it back to itself, and no stop order reaches it.
constexpr DWORD kRedirectFlags = INTERNET_FLAG_NO_AUTO_REDIRECT;

const std::string kPrefix = "[Utils::DownloadMedia]";
const std::string kToolBoxPrefix = "[ToolBox::DownloadMedia]";

SharedWString Wide(const std::string& text) { return ToolBox::Utf8ToSharedWString(text); }

// The request's text: a media link may carry a service ticket in its query, a path or a name
// a line break.
std::string Shown(std::string_view text) { return ToolBox::MaskSecretsInText(text); }

// The temporary path is removed only when a file (or a link) stands there: a folder under
// that name is not ours to delete with everything in it. ERROR_SUCCESS when nothing is left.
DWORD DeleteTemporaryFile(const std::string& path) {
    const SharedWString wide = Wide(path);
    const std::int32_t type = GetPathType(wide);
    if (type == kPathAbsent) return ERROR_SUCCESS;
    if (type != kPathFile && type != kPathFileLink) return ERROR_DIRECTORY;
    return DeletePathIfExists(wide);
}

// The long waits give up on the stop order instead of holding a stopping launcher.
void WaitUnlessStopped(std::uint32_t milliseconds) {
    for (std::uint32_t waited = 0; waited < milliseconds && !G_STOP.load(); waited += kPollMs) {
        GetSleeper().Sleep(std::min(kPollMs, milliseconds - waited));
    }
}

// Hexadecimal digests compare without regard to letter case: the platform may send either.
bool SameHash(const std::string& a, const std::string& b) {
    return !a.empty() && ToolBox::ToLower(a) == ToolBox::ToLower(b);
}

// Percent in whole units, never above what the tray accepts.
std::uint32_t Percent(std::uint64_t done, std::int64_t total) {
    const double percent = static_cast<double>(done) / static_cast<double>(total) * 100.0;
    return static_cast<std::uint32_t>(std::min(percent, 100.0));
}

// The body length the server announced for the answer just received.
std::optional<std::uint64_t> ContentLength(HINTERNET request) {
    wchar_t text[32] = {};
    DWORD size = sizeof text;
    if (!::HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) return std::nullopt;
    return std::wcstoull(text, nullptr, 10);
}

bool IsRedirect(std::int32_t status) {
    return status == HTTP_STATUS_MOVED || status == HTTP_STATUS_REDIRECT || status == HTTP_STATUS_REDIRECT_METHOD ||
           status == HTTP_STATUS_REDIRECT_KEEP_VERB || status == HTTP_STATUS_PERMANENT_REDIRECT;
}

// The URL functions of the platform take texts below this length; see RedirectTarget.
constexpr DWORD kMaxUrl = INTERNET_MAX_URL_LENGTH;

// Whether the combination below can take the part. It first puts each part in its canonical form
// (with its flags, escaping nothing) in room for kMaxUrl characters; under Wine a part whose form
// does not fit there (a host the form ends with "/", a drive path made a file URL) is left out
// unnoticed, and what that room held before, another call's URL, is combined instead.
bool Combinable(const std::wstring& part) {
    if (part.size() >= kMaxUrl) return false;
    std::wstring canonical(kMaxUrl, L'\0');
    DWORD length = kMaxUrl;
    return SUCCEEDED(::UrlCanonicalizeW(part.c_str(), canonical.data(), &length, 0));
}

enum class Redirect { kNone, kTooLong, kTarget };

// Where the answer sends the client, resolved against the URL that answered. Neither part, nor
// what they combine into, reaches kMaxUrl characters: under Wine the combination of such texts
// answers another call's URL or, given room for more, writes its result past its own buffer of
// that size (heap damage). The Location is never read into more room than that either.
Redirect RedirectTarget(HINTERNET request, const std::wstring& base, std::wstring& target) {
    std::wstring location(kMaxUrl, L'\0');
    DWORD size = kMaxUrl * sizeof(wchar_t);
    if (!::HttpQueryInfoW(request, HTTP_QUERY_LOCATION, location.data(), &size, nullptr)) {
        return ::GetLastError() == ERROR_INSUFFICIENT_BUFFER ? Redirect::kTooLong : Redirect::kNone;
    }
    location.resize(size / sizeof(wchar_t));
    if (!Combinable(base) || !Combinable(location)) return Redirect::kTooLong;
    target.assign(kMaxUrl, L'\0');
    DWORD length = kMaxUrl;
    if (!::InternetCombineUrlW(base.c_str(), location.c_str(), target.data(), &length, ICU_ENCODE_SPACES_ONLY)) {
        return length > kMaxUrl ? Redirect::kTooLong : Redirect::kNone;
    }
    target.resize(length);
    return Redirect::kTarget;
}

// How much a read of the body asks for. A read waits until it has all it asked for: a whole
// block from a slow server would hold it, and the stop order with it, until the block is full.
// So a read asks for what has arrived. Only while the body streams in, two windows of 20 ms in a
// row each bringing at least that much, does it ask for one window's worth (a block at most)
// without looking first: the internet layer holds little at a time, and small reads are slow.
class ReadPace {
public:
    // 0: look first what has arrived, and ask for that.
    DWORD Ask() const { return ask_; }
    void Count(DWORD bytes) {
        bytes_ += bytes;
        const auto now = std::chrono::steady_clock::now();
        const std::chrono::duration<double> elapsed = now - since_;
        if (elapsed < kWindow) return;
        const auto brought = static_cast<DWORD>(
            std::min<double>(kBlockSize, static_cast<double>(bytes_) * (kWindow / elapsed)));
        ask_ = std::min(brought, lastBrought_);
        lastBrought_ = brought;
        since_ = now;
        bytes_ = 0;
    }

private:
    static constexpr std::chrono::duration<double> kWindow{0.02};
    std::chrono::steady_clock::time_point since_ = std::chrono::steady_clock::now();
    std::uint64_t bytes_ = 0;
    DWORD lastBrought_ = 0;
    DWORD ask_ = 0;
};

// One read of the body, once some of it is there; count 0 is its end.
bool ReadArrived(HINTERNET request, BYTE* buffer, ReadPace& pace, DWORD& count) {
    count = 0;
    DWORD ask = pace.Ask();
    if (ask == 0) {
        DWORD available = 0;
        if (!::InternetQueryDataAvailable(request, &available, 0, 0)) return false;
        // A request the stop order closed is not read again: its value may name another handle by now.
        if (G_STOP.load()) return true;
        // Nothing there is the end of the body, which the read then confirms at once.
        ask = available == 0 ? kBlockSize : std::min(available, kBlockSize);
    }
    if (!::InternetReadFile(request, buffer, ask, &count)) return false;
    pace.Count(count);
    return true;
}

// Sends the request, for the rest of the body from offset on when offset is above 0.
bool SendRequest(HINTERNET request, std::int64_t offset, std::int32_t& status) {
    if (offset > 0) {
        const std::wstring range = L"Range: bytes=" + std::to_wstring(offset) + L"-\r\n";
        ::HttpAddRequestHeadersW(request, range.c_str(), static_cast<DWORD>(-1),
                                 HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
    }
    int tries = 0;
    bool dialogUsed = false;
    bool sent = false;
    while (tries < kMaxTries) {
        sent = ::HttpSendRequestW(request, nullptr, 0, nullptr, 0) != FALSE;
        const DWORD error = ::GetLastError();
        if (G_STOP.load()) {
            Logger::Debug("[SendRequest]GLOBAL STOP ORDER ! emergency break !");
            break;
        }
        if (!sent) {
            Logger::Debug("[SendRequest]HttpSendRequest failed(" + ToolBox::FormatMessageText(error) +
                          ") ! Sleeping for " + std::to_string(kRetryWaitMs) + "ms");
            WaitUnlessStopped(kRetryWaitMs);
            ++tries;
            // A stopping launcher sends nothing more: the next send could block for its time-outs.
            if (G_STOP.load()) break;
            continue;
        }
        DWORD code = 0;
        DWORD size = sizeof code;
        ::HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, nullptr);
        if (code != HTTP_STATUS_PROXY_AUTH_REQ) {
            status = static_cast<std::int32_t>(code);
            break;
        }
        const DWORD answer = QORHttpGetPrompt().Ask(request, ERROR_INTERNET_INCORRECT_PASSWORD, ::GetDesktopWindow());
        if (answer == ERROR_INTERNET_INCORRECT_PASSWORD) {
            Logger::Warn("[SendRequest]no interactive session to ask for the proxy authentification");
        }
        if (answer == ERROR_INTERNET_FORCE_RETRY && !dialogUsed) {
            Logger::Debug("[SendRequest]the proxy authentification set ! we got a free try !");
            dialogUsed = true;
            continue;
        }
        if (dialogUsed) Logger::Debug("[SendRequest]the proxy authentification fail another time !");
        ++tries;
    }
    return sent;
}

// Cuts a blocked WinINet call short on the stop order: closing the request handle is how
// another thread ends a send or a read in progress, which a silent server would otherwise
// hold for the 30 s time-outs. The download checks the order right after each such call, so
// the closed handle is not used again.
class StopWatch {
public:
    explicit StopWatch(ZYNSysInternetHandle& request) : request_(request), thread_([this] { Watch(); }) {}
    // Puts next in the request's place and closes the one before; false once the stop order
    // has closed the request: next is then closed unused.
    bool Replace(ZYNSysInternetHandle next) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (closed_) return false;
        request_ = std::move(next);
        return true;
    }
    ~StopWatch() {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
        // Closed here already: its owner must not close that value a second time.
        if (closed_) static_cast<void>(request_.Take());
    }
    StopWatch(const StopWatch&) = delete;
    StopWatch& operator=(const StopWatch&) = delete;

private:
    void Watch() noexcept {
        try {
            std::unique_lock<std::mutex> guard(mutex_);
            while (!done_) {
                if (G_STOP.load()) {
                    if (request_) ::InternetCloseHandle(request_.Get());
                    closed_ = true;
                    return;
                }
                wake_.wait_for(guard, std::chrono::milliseconds(kPollMs));
            }
        } catch (...) {
            // Without the watch a stop waits for the time-outs, as it would have anyway.
        }
    }

    ZYNSysInternetHandle& request_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    bool closed_ = false;
    std::thread thread_;  // last: it starts once the rest is ready
};

// One call of Utils::DownloadMedia. Its members are released in reverse order of
// declaration, after the temporary file is gone: see the destructor.
class MediaDownload {
public:
    MediaDownload(const OrdanaRequestInfo& requestInfo, const std::string& output, const MediaInfo& media)
        : output_(output),
          lockPath_(output + ".lock"),
          tmpPath_(output + ".tmp"),
          media_(media),
          coms_(&requestInfo, 'l', nullptr) {}

    // The temporary file is ours only while we hold the lock, and it goes before the lock
    // does: the next downloader of this output must never lose its own to our clean-up.
    ~MediaDownload() {
        hash_.Reset();
        provider_.Reset();
        tmpFile_.Reset();
        if (lock_) DeleteTemporaryFile(tmpPath_);
        lock_.Reset();
    }

    std::int32_t Run();

private:
    // TakeLock and Connect answer kDownloadDone to let the download go on.
    std::int32_t TakeLock();
    void WatchOtherDownloader();
    std::int32_t CheckExistingOutput();
    std::int32_t Connect();
    // Opens the request for url on a connection of its own, in place of the one before.
    std::int32_t OpenRequest(const std::wstring& url);
    // SendRequest, and the redirects it meets followed, kMaxRedirects at most.
    bool Send(std::int64_t offset, std::int32_t& status);
    std::int32_t Transfer();

    std::string output_;
    std::string lockPath_;
    std::string tmpPath_;
    const MediaInfo& media_;
    SystrayComs coms_;

    ZYNSysKernelHandle lock_;
    ZYNSysInternetHandle session_;
    ZYNSysInternetHandle connection_;
    ZYNSysInternetHandle request_;
    // Declared after the request: it ends first, before the request's owner closes it.
    std::optional<StopWatch> stopWatch_;
    std::wstring url_;  // the one the request is for, after the redirects so far
    bool secureSeen_ = false;
    ZYNSysCryptProvider provider_;
    ZYNSysCryptHash hash_;
    ZYNSysKernelHandle tmpFile_;
};

std::int32_t MediaDownload::Run() {
    // Nothing is touched for an item that could never be verified.
    if (!media_.isValid || media_.downloadLink.empty() || media_.hash.empty()) {
        Logger::Error(kPrefix + "invalid media item, nothing to download : " + Shown(media_.ToString()));
        return kDownloadFailed;
    }
    // Nor for a path or a link that the platform would read only up to a NUL: the lock, the
    // hash check and the transfer would each take another file or address.
    if (ToolBox::HoldsNul(output_) || ToolBox::HoldsNul(media_.downloadLink)) {
        Logger::Error(kPrefix + "the output path or the link holds a NUL character, nothing to download : " +
                      Shown(output_));
        return kDownloadFailed;
    }
    // The lock file lives in the output's folder: that folder comes first.
    const std::string parent = PathName(output_).GetParent().GetText();
    if (!ToolBox::File::Exists(parent) && !Operations::Local::MakeFolder(parent)) {
        Logger::Error(kPrefix + "Failed to create folders : " + Shown(parent));
        return kDownloadFailed;
    }
    if (std::int32_t rc = TakeLock(); rc != kDownloadDone) return rc;
    if (std::int32_t rc = CheckExistingOutput(); rc >= 0) return rc;

    const std::uint64_t neededKB = 3 * (static_cast<std::uint64_t>(std::max<std::int64_t>(media_.size, 0)) / 1024);
    if (!ToolBox::File::EnsureFreeSpaceKB(parent, neededKB)) {
        Logger::Error(kPrefix + "not enought space here: " + Shown(parent) +
                      "\nthis media require, at least, this free space : " + std::to_string(neededKB));
        return kDownloadNoSpace;
    }
    // A transfer never continues another run's file.
    if (DeleteTemporaryFile(tmpPath_) != ERROR_SUCCESS) {
        Logger::Error(kPrefix + "Failed to delete file : " + Shown(tmpPath_));
        return kDownloadFailed;
    }

    if (!::CryptAcquireContextW(provider_.Put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        Logger::ErrorWithSystemError(kPrefix + "CryptAcquireContext failed !");
        return kDownloadFailed;
    }
    if (!::CryptCreateHash(provider_.Get(), CALG_MD5, 0, 0, hash_.Put())) {
        Logger::ErrorWithSystemError(kPrefix + "CryptCreateHash failed !");
        return kDownloadFailed;
    }

    if (std::int32_t rc = Connect(); rc != kDownloadDone) return rc;
    return Transfer();
}

std::int32_t MediaDownload::TakeLock() {
    const std::wstring lock = ToolBox::Utf8ToWide(lockPath_);
    for (bool first = true;; first = false) {
        if (!first && G_STOP.load()) {
            // The temporary file is the other downloader's while it holds the lock: deleting it
            // between its check and its move would lose a verified download.
            Logger::Debug(kPrefix + "GLOBAL STOP ORDER ! function aborted");
            return kDownloadFailed;
        }
        lock_.Reset(::CreateFileW(lock.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        if (lock_) return kDownloadDone;
        const DWORD error = ::GetLastError();
        if (error != ERROR_SHARING_VIOLATION) {
            Logger::Error(kPrefix + "Failed to lock file[" + Shown(lockPath_) + "] due to : " +
                          ToolBox::FormatMessageText(error));
            return kDownloadFailed;
        }
        if (PathAccessible(Wide(tmpPath_))) {
            WatchOtherDownloader();
        } else {
            GetSleeper().Sleep(kPollMs);
        }
    }
}

// Shows the other downloader's progress from the size of its temporary file until its
// lock goes away.
void MediaDownload::WatchOtherDownloader() {
    // A progress of its own: a stopped one stays at 101 and would refuse the next run's values.
    Progress progress(coms_, true);
    const SharedWString lock = Wide(lockPath_);
    const SharedWString tmp = Wide(tmpPath_);
    std::int64_t last = -1;
    while (PathAccessible(lock)) {
        const std::int64_t size = GetValidatedFileSize(tmp);
        if (media_.size > 0 && size >= 0) {
            const std::uint32_t percent = Percent(static_cast<std::uint64_t>(size), media_.size);
            if (static_cast<std::int64_t>(percent) != last) {
                progress.Update(percent);
                last = percent;
            }
        }
        if (G_STOP.load()) {
            Logger::Debug(kPrefix + "GLOBAL STOP ORDER ! emergency break !");
            break;
        }
        GetSleeper().Sleep(kPollMs);
    }
    progress.Update(100);
    GetSleeper().Sleep(kLockGoneWaitMs);
    progress.Stop();
}

// kDownloadAlreadyPresent or kDownloadFailed when the call ends here, -1 to go on with the download.
std::int32_t MediaDownload::CheckExistingOutput() {
    if (ToolBox::File::Exists(output_)) {
        // A folder under the media's name is not an old copy of it: never delete a tree.
        if (ToolBox::File::IsDirectory(output_)) {
            Logger::Error(kPrefix + "Failed to delete file : " + Shown(output_));
            return kDownloadFailed;
        }
        if (Config::IsActivated(ConfigOption::KEEP_MEDIA_ZIP)) {
            Logger::Info(kPrefix + "config found : keep the current existing media.");
            return kDownloadAlreadyPresent;
        }
        std::string computed;
        ToolBox::File::ComputeHash(output_, ToolBox::File::kMd5, computed);
        // No digest (a stop order, a failed read) says nothing about the file: it stays.
        if (computed.empty()) {
            Logger::Error(kPrefix + "Failed to access file and compute hash : " + Shown(output_));
            return kDownloadFailed;
        }
        if (SameHash(computed, media_.hash)) {
            Logger::Info(kPrefix + "this file '" + Shown(output_) +
                         "' is already present with the right hash. downloading cancelled.");
            return kDownloadAlreadyPresent;
        }
        Logger::Debug(kPrefix + "this file '" + Shown(output_) + "' is already present but as this hash '" + computed +
                      "' instead of '" + Shown(media_.hash) + "'. deleting it...");
        if (DeletePathIfExists(Wide(output_)) != ERROR_SUCCESS) {
            Logger::Error(kPrefix + "Failed to delete file : " + Shown(output_));
            return kDownloadFailed;
        }
        Logger::Info(kPrefix + " '" + Shown(output_) + "' successfully deleted !");
    }
    return -1;
}

std::int32_t MediaDownload::Connect() {
    if (const DWORD rc = ::InternetAttemptConnect(0); rc != ERROR_SUCCESS) {
        Logger::Error(kPrefix + "InternetAttemptConnect failed(" + ToolBox::FormatMessageText(rc) + ")");
        return kDownloadFailed;
    }
    session_.Reset(::InternetOpenW(L"VarometLauncher Client", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!session_) {
        Logger::ErrorWithSystemError(kPrefix + "InternetOpen failed");
        return kDownloadFailed;
    }
    stopWatch_.emplace(request_);
    if (std::int32_t rc = OpenRequest(ToolBox::Utf8ToWide(media_.downloadLink)); rc != kDownloadDone) return rc;

    Logger::Debug(kPrefix + "Starting download Media : " + Shown(media_.downloadLink));
    std::int32_t status = 0;
    if (!Send(0, status)) {
        Logger::Error(kPrefix + "SendRequest failed");
        return kDownloadFailed;
    }
    if (status != HTTP_STATUS_OK) {
        Logger::Error(kPrefix + "Error [" + std::to_string(status) + "]! fail to connect to : " + Shown(media_.downloadLink));
        return kDownloadFailed;
    }
    return kDownloadDone;
}

std::int32_t MediaDownload::OpenRequest(const std::wstring& url) {
    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwSchemeLength = 1;
    parts.dwHostNameLength = 1;
    parts.dwUrlPathLength = 1;
    // The query too: a signed link without it is another resource.
    parts.dwExtraInfoLength = 1;
    if (!::InternetCrackUrlW(url.c_str(), 0, 0, &parts)) {
        Logger::ErrorWithSystemError(kPrefix + "InternetCrackUrl failed");
        return kDownloadFailed;
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath ? parts.lpszUrlPath : L"", parts.dwUrlPathLength);
    if (parts.lpszExtraInfo) {
        // The fragment stays on this side: it never goes to the server.
        const std::wstring extra(parts.lpszExtraInfo, parts.dwExtraInfoLength);
        path += extra.substr(0, extra.find(L'#'));
    }

    ZYNSysInternetHandle connection(::InternetConnectW(session_.Get(), host.c_str(), parts.nPort, nullptr, nullptr,
                                                       INTERNET_SERVICE_HTTP, kConnectFlags, 0));
    if (!connection) {
        Logger::ErrorWithSystemError(kPrefix + "InternetConnect failed on host [" + Shown(ToolBox::WideToUtf8(host)) +
                                     "]");
        return kDownloadFailed;
    }
    DWORD timeout = kTimeoutMs;
    for (DWORD option : {INTERNET_OPTION_RECEIVE_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_CONNECT_TIMEOUT}) {
        ::InternetSetOptionW(connection.Get(), option, &timeout, sizeof timeout);
    }

    // An https link that redirects to plain http still goes over TLS.
    secureSeen_ = secureSeen_ || parts.nScheme == INTERNET_SCHEME_HTTPS;
    const bool plainAllowed = Config::IsActivated(ConfigOption::TEST_MODE) || Config::IsActivated(ConfigOption::DEBUG_CONTEXT);
    const DWORD flags = (plainAllowed && !secureSeen_ ? kPlainRequestFlags : kRequestFlags) | kRedirectFlags;
    const wchar_t* accept[] = {L"application/zip", L"application/windows-installer-database", nullptr};
    ZYNSysInternetHandle request(
        ::HttpOpenRequestW(connection.Get(), nullptr, path.c_str(), nullptr, nullptr, accept, flags, 0));
    if (!request) {
        Logger::ErrorWithSystemError(kPrefix + "HttpOpenRequest failed");
        return kDownloadFailed;
    }
    if (Config::IsActivated(ConfigOption::IGNORE_INVALID_CERT)) {
        DWORD security = 0;
        DWORD size = sizeof security;
        ::InternetQueryOptionW(request.Get(), INTERNET_OPTION_SECURITY_FLAGS, &security, &size);
        security |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
        ::InternetSetOptionW(request.Get(), INTERNET_OPTION_SECURITY_FLAGS, &security, sizeof security);
    }
    if (!stopWatch_->Replace(std::move(request))) return kDownloadFailed;
    // Its request is closed already: the connection goes after it.
    connection_ = std::move(connection);
    url_ = url;
    return kDownloadDone;
}

bool MediaDownload::Send(std::int64_t offset, std::int32_t& status) {
    for (int redirects = 0;; ++redirects) {
        status = 0;
        if (!SendRequest(request_.Get(), offset, status)) return false;
        if (G_STOP.load() || !IsRedirect(status)) return true;
        std::wstring next;
        const Redirect redirect = RedirectTarget(request_.Get(), url_, next);
        if (redirect == Redirect::kTooLong) {
            Logger::Error(kPrefix + "redirection target too long (" + std::to_string(kMaxUrl) +
                          " characters or more) from : " + Shown(ToolBox::WideToUtf8(url_)));
            return true;
        }
        // Without a target the redirect's own status is the answer.
        if (redirect == Redirect::kNone) return true;
        if (redirects == kMaxRedirects) {
            Logger::Error(kPrefix + "too many redirections (more than " + std::to_string(kMaxRedirects) +
                          ") from : " + Shown(media_.downloadLink));
            return true;
        }
        Logger::Debug(kPrefix + "redirected to : " + Shown(ToolBox::WideToUtf8(next)));
        if (OpenRequest(next) != kDownloadDone) return false;
    }
}

std::int32_t MediaDownload::Transfer() {
    tmpFile_.Reset(::CreateFileW(ToolBox::Utf8ToWide(tmpPath_).c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                 nullptr));
    if (!tmpFile_) {
        Logger::Error(kPrefix + "Cannot open output file '" + Shown(tmpPath_) + "'");
        return kDownloadFailed;
    }

    // Where the body ends: a read of 0 bytes before this point is a lost connection, not
    // the end (a dropped connection reads as a success with nothing). 0: unknown.
    const auto expectedEnd = [&](std::uint64_t from) -> std::uint64_t {
        if (const auto length = ContentLength(request_.Get())) return from + *length;
        return media_.size > 0 ? static_cast<std::uint64_t>(media_.size) : 0;
    };
    std::uint64_t end = expectedEnd(0);
    std::vector<BYTE> buffer(kBlockSize);
    std::uint64_t downloaded = 0;
    std::int64_t lastPercent = 0;
    int failures = 0;
    bool lastReadFailed = false;
    bool hashFailed = false;
    bool writeFailed = false;
    ReadPace pace;
    Progress progress(coms_, true);
    for (;;) {
        DWORD count = 0;
        const bool read = ReadArrived(request_.Get(), buffer.data(), pace, count);
        Logger::Internal(kPrefix + "InternetReadFile status: [" + (read ? "1" : "0") +
                         "]// bytes read: " + std::to_string(count));
        if (G_STOP.load()) {
            Logger::Debug(kPrefix + "GLOBAL STOP ORDER ! emergency break !");
            break;
        }
        lastReadFailed = !read || (count == 0 && end > 0 && downloaded < end);
        if (lastReadFailed) {
            ++failures;
            Logger::Info(kToolBoxPrefix + "Problem during download, waiting for " + std::to_string(kRetryWaitMs) +
                         " ms...");
            WaitUnlessStopped(kRetryWaitMs);
            if (G_STOP.load()) {
                Logger::Debug(kPrefix + "GLOBAL STOP ORDER ! emergency break !");
                break;
            }
            std::int32_t status = 0;
            if (!Send(static_cast<std::int64_t>(downloaded), status)) {
                Logger::Error(kPrefix + "Connection lost ! failed to restart the download");
                break;
            }
            const std::int32_t wanted = downloaded > 0 ? HTTP_STATUS_PARTIAL_CONTENT : HTTP_STATUS_OK;
            if (status != wanted) {
                Logger::Error(kPrefix + "Connection lost ! the restart attemp get a HTTP error : " +
                              std::to_string(status) + " .");
                break;
            }
            end = expectedEnd(downloaded);
            pace = ReadPace{};
            if (failures >= kMaxTries) break;
            continue;
        }
        if (count == 0) {
            progress.Update(100);
            break;
        }
        DWORD written = 0;
        if (!::WriteFile(tmpFile_.Get(), buffer.data(), count, &written, nullptr) || written != count) {
            // A short file with a whole digest would pass the check below.
            Logger::ErrorWithSystemError(kToolBoxPrefix + "Failed to write into '" + Shown(tmpPath_) + "'");
            writeFailed = true;
            break;
        }
        if (!::CryptHashData(hash_.Get(), buffer.data(), count, 0)) {
            Logger::ErrorWithSystemError(kToolBoxPrefix + "CryptHashData failed !");
            hashFailed = true;
            break;
        }
        downloaded += count;
        if (media_.size > 0) {
            const std::int64_t percent = Percent(downloaded, media_.size);
            Logger::Internal(kToolBoxPrefix + " current downloaded size : [" + std::to_string(downloaded) +
                             "] // total size [" + std::to_string(media_.size) + "] // precent [" +
                             std::to_string(percent) + "]// old precent [" + std::to_string(lastPercent) + "]");
            if (percent != lastPercent) {
                Logger::Internal(kToolBoxPrefix + " updating progress bar to [" + std::to_string(percent) +
                                 "%] ....");
                progress.Update(static_cast<std::uint32_t>(percent));
                lastPercent = percent;
            }
        }
    }
    progress.Stop();
    tmpFile_.Reset();

    if (G_STOP.load()) {
        Logger::Debug(kToolBoxPrefix + "GLOBAL STOP ORDER ! function aborted");
        return kDownloadFailed;
    }
    if (failures >= kMaxTries && lastReadFailed) {
        Logger::Error(kToolBoxPrefix + "Failed to download [" + Shown(media_.fileName) + "] after " +
                      std::to_string(failures) + " try.");
        return kDownloadFailed;
    }
    if (hashFailed) {
        Logger::Error(kToolBoxPrefix + "Failed to hash Data for this file [" + Shown(media_.fileName) + "]");
        return kDownloadFailed;
    }
    if (writeFailed) return kDownloadFailed;

    std::string digest;
    BYTE value[16];
    DWORD size = sizeof value;
    if (::CryptGetHashParam(hash_.Get(), HP_HASHVAL, value, &size, 0)) {
        static constexpr char kDigits[] = "0123456789abcdef";
        for (DWORD i = 0; i < size; ++i) {
            digest.push_back(kDigits[value[i] >> 4]);
            digest.push_back(kDigits[value[i] & 0xF]);
        }
        Logger::Debug(kToolBoxPrefix + "Computed MD5 hash : " + digest);
    } else {
        Logger::ErrorWithSystemError(kToolBoxPrefix + "CryptGetHashParam failed!");
    }
    if (!SameHash(digest, media_.hash)) {
        Logger::Error(kToolBoxPrefix + "Failed to download [" + Shown(media_.fileName) +
                      "]. File corrupted or incorrect.");
        return kDownloadFailed;
    }
    if (const DWORD rc = MovePath(Wide(tmpPath_), Wide(output_)); rc != ERROR_SUCCESS) {
        Logger::Error(kToolBoxPrefix + "Failed to move '" + Shown(tmpPath_) + "' to '" + Shown(output_) + "'.(rc " +
                      std::to_string(rc) + ")");
        return kDownloadFailed;
    }
    return kDownloadDone;
}

}  // namespace

std::int32_t Utils::DownloadMedia(const OrdanaRequestInfo& requestInfo, const std::string& output,
                                  const MediaInfo& media) {
    Logger::Debug(kPrefix + "params :\n\t-[output]:" + Shown(output) + "\n\t-[fileToDl]:" + Shown(media.ToString()));
    MediaDownload download(requestInfo, output, media);
    return download.Run();
}
