#include "ZYNSysWin.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <shlwapi.h>
#include <wincrypt.h>

#include "FileSystem.h"
#include "Globals.h"
#include "Logger.h"
#include "ToolBox.h"
#include "ZYNSysCryptHandle.h"
#include "ZYNSysKernelHandle.h"

namespace {

std::string Printf(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

bool IsDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The logger's daily files end with "_YYYY_MM_DD.txt".
bool IsLogFileName(std::string_view name) {
    constexpr std::string_view kSuffix = ".txt";
    if (name.size() < 15 || !name.ends_with(kSuffix)) return false;
    std::string_view stamp = name.substr(name.size() - kSuffix.size() - 11, 11);  // _YYYY_MM_DD
    return stamp[0] == '_' && IsDigits(stamp.substr(1, 4)) && stamp[5] == '_' && IsDigits(stamp.substr(6, 2)) &&
           stamp[8] == '_' && IsDigits(stamp.substr(9, 2));
}

bool IsRegularFile(const std::wstring& path) {
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

struct Candidate {
    std::string path;
    std::int64_t modified;
};

}  // namespace

void ToolBox::File::CleanOldFilesInFolder(const std::string& folder, std::uint32_t maxFileCount,
                                          double maxTimeStampDiff) {
    const std::string prefix = "[ToolBox::File::CleanOldFilesInFolder]";
    Logger::DeferredDebug(prefix + "Try to clean this log folder: " + folder + "(MaxfileCount:[" +
                       std::to_string(maxFileCount) + "]//MaxTimeStampDiff:[" + Printf("%f", maxTimeStampDiff) + "])");
    if (maxFileCount == 0 && maxTimeStampDiff == 0) {
        Logger::DeferredDebug(prefix + "Nothing to clear ( max diff and max count are null )");
        return;
    }
    const std::int64_t base = ToolBox::NowSeconds();
    Logger::DeferredInternal(prefix + "base timestamp : " + ToolBox::FormatSeconds(base, true, "%Y_%m_%d-%H%M%S"));

    std::vector<std::string> names;
    if (!List(folder, names)) {
        Logger::DeferredError(prefix + "Fail to list this fodler content : " + folder);
        return;
    }

    std::vector<Candidate> candidates;
    for (const std::string& name : names) {
        // Only the logger's own daily files: this must never prune whatever else a folder holds.
        std::string path = folder + "\\" + name;
        std::wstring wide = ToolBox::Utf8ToWide(path);
        if (!IsLogFileName(name) || !IsRegularFile(wide)) continue;
        struct _stat64 info;
        int rc = ::_wstat64(wide.c_str(), &info);
        if (rc != 0) {
            Logger::DeferredError(prefix + "Fail to get Last modification Timestamp for this file '" + path +
                               "'. ( errno : " + std::to_string(rc) + ")");
            continue;
        }
        std::int64_t modified = info.st_mtime;
        Logger::DeferredInternal(prefix + "handling file '" + path + "' with timestamp : " +
                              ToolBox::FormatSeconds(modified, true, "%Y_%m_%d-%H%M%S"));
        double delta = static_cast<double>(base - modified);
        Logger::DeferredInternal(prefix + "timstamp delta on '" + path + "' : " + Printf("%f", delta));
        if (maxTimeStampDiff != 0 && delta > maxTimeStampDiff) {
            if (Delete(path)) Logger::DeferredInternal(prefix + "deleteing : " + path);
            else Logger::DeferredWarn(prefix + "Fail to delete this file : " + path);
            continue;
        }
        candidates.push_back({path, modified});
    }

    if (maxFileCount < 1 || candidates.size() <= maxFileCount) return;
    Logger::DeferredInternal(prefix + "excessive number of file ! there is " + std::to_string(candidates.size()) + "/" +
                          std::to_string(maxFileCount) + " files");
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.modified < b.modified; });
    std::size_t excess = candidates.size() - maxFileCount;
    Logger::DeferredInternal(prefix + "deleting " + std::to_string(excess) + " files...");
    for (std::size_t i = 0; i < excess; ++i) {
        const std::string& path = candidates[i].path;
        if (Delete(path)) Logger::DeferredInternal(prefix + "deleteing older file[" + std::to_string(i) + "] : " + path);
        else Logger::DeferredWarn(prefix + "Fail to delete this file[" + std::to_string(i) + "] : " + path);
    }
}

int ToolBox::File::ComputeHash(const std::string& path, int label, std::string& hex) {
    const std::string prefix = "[ToolBox::File::ComputeHash]";
    if (!Exists(path)) {
        Logger::Error(prefix + "Invalid path, this file does not exist : " + ToolBox::MaskSecretsInText(path));
        return 0;
    }
    std::wstring wide = ToolBox::Utf8ToWide(path);
    ZYNSysKernelHandle file(::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) {
        Logger::ErrorWithSystemError(prefix + "Fail to open this file : " + ToolBox::MaskSecretsInText(path));
        return 0;
    }
    ALG_ID algorithm;
    DWORD providerType;
    if (label == kMd5) {
        algorithm = CALG_MD5;
        providerType = PROV_RSA_FULL;
    } else if (label == kSha256) {
        algorithm = CALG_SHA_256;
        providerType = PROV_RSA_AES;
    } else {
        Logger::Error(prefix + " unsupported algorithm label : " + std::to_string(label));
        return 0;
    }

    ZYNSysCryptProvider provider;
    if (!::CryptAcquireContextW(provider.Put(), nullptr, nullptr, providerType, CRYPT_VERIFYCONTEXT)) {
        Logger::Error(prefix + "CryptAcquireContext failed!");
        return 0;
    }
    ZYNSysCryptHash hash;
    if (!::CryptCreateHash(provider.Get(), algorithm, 0, 0, hash.Put())) {
        Logger::Error(prefix + "CryptCreateHash failed!");
        return 0;
    }

    std::vector<BYTE> block(65536);
    for (;;) {
        if (G_STOP.load()) {
            Logger::Debug(prefix + "GLOBAL STOP ORDER ! emergency break !");
            return 0;
        }
        DWORD read = 0;
        if (!::ReadFile(file.Get(), block.data(), static_cast<DWORD>(block.size()), &read, nullptr)) {
            Logger::Error(prefix + "ReadFile failed!");
            return 0;
        }
        if (read == 0) break;
        if (!::CryptHashData(hash.Get(), block.data(), read, 0)) {
            Logger::Error(prefix + "CryptHashData failed!");
            return 0;
        }
    }

    BYTE digest[256];
    DWORD length = label == kMd5 ? 16 : sizeof digest;
    if (!::CryptGetHashParam(hash.Get(), HP_HASHVAL, digest, &length, 0)) {
        Logger::Error(prefix + "CryptGetHashParam failed!");
        return 0;
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (DWORD i = 0; i < length; ++i) {
        text.push_back(kDigits[digest[i] >> 4]);
        text.push_back(kDigits[digest[i] & 0xF]);
    }
    hex = std::move(text);
    return 1;
}

bool ToolBox::File::List(const std::string& folder, std::vector<std::string>& names) {
    const std::string prefix = "[ToolBox::File::List]";
    // The folder is joined with "\*": a wildcard of its own would list something else.
    // An empty folder would search "\*", the root of the current drive.
    if (folder.empty()) {
        Logger::Debug(prefix + " the given path is empty !");
        return false;
    }
    if (folder.find_first_of("*?") != std::string::npos) {
        Logger::Debug(prefix + " the given path [" + folder + "] holds a wildcard !");
        return false;
    }
    if (Exists(folder) && !IsDirectory(folder)) {
        Logger::Debug(prefix + " the given path [" + folder + "] is not a directory !");
        return true;
    }
    std::wstring pattern = ToolBox::Utf8ToWide(folder + "\\*");
    WIN32_FIND_DATAW entry;
    ZYNSysFindHandle search(::FindFirstFileW(pattern.c_str(), &entry));
    if (!search) {
        Logger::Debug(prefix + " FindFirstFileW Fail !");
        return false;
    }
    std::vector<std::string> found;
    for (bool more = true; more; more = ::FindNextFileW(search.Get(), &entry) != 0) {
        if (G_STOP.load()) {
            Logger::Debug(prefix + "GLOBAL STOP ORDER ! emergency break !");
            break;
        }
        if (std::wcscmp(entry.cFileName, L".") == 0 || std::wcscmp(entry.cFileName, L"..") == 0) continue;
        found.push_back(ToolBox::WideCStrToUtf8(entry.cFileName));
    }
    DWORD error = ::GetLastError();
    if (!G_STOP.load() && error != ERROR_NO_MORE_FILES) {
        Logger::Debug(prefix + "error occured : " + std::to_string(error));
    }
    search.Reset();
    Logger::Debug(prefix + "file list in '" + folder + "' :\n" + ToolBox::Join(found, ", "));
    names.insert(names.end(), found.begin(), found.end());
    return true;
}

bool ToolBox::File::Delete(const std::string& path) {
    return DeletePathIfExists(ToolBox::Utf8ToSharedWString(path)) == 0;
}

bool ToolBox::File::EnsureFreeSpaceKB(const std::string& folder, std::uint64_t neededKB) {
    const std::string prefix = "[ToolBox::File::EnsureFreeSpaceKB]";
    if (!IsDirectory(folder)) {
        Logger::Error(prefix + " the given path does not exist : " + ToolBox::MaskSecretsInText(folder));
    }
    ULARGE_INTEGER available;
    std::wstring wide = ToolBox::Utf8ToWide(folder);
    if (!::GetDiskFreeSpaceExW(wide.c_str(), &available, nullptr, nullptr)) {
        Logger::Error(prefix + " GetDiskFreeSpaceExW fail!");
        return false;
    }
    std::uint64_t freeKB = available.QuadPart >> 10;
    Logger::Debug(prefix + "NeedSize : " + std::to_string(neededKB) + "// current freeSize : " + std::to_string(freeKB));
    return freeKB >= neededKB;
}

bool ToolBox::File::IsDirectory(const std::string& path) {
    return ::PathIsDirectoryW(ToolBox::Utf8ToWide(path).c_str()) != FALSE;
}

bool ToolBox::File::Exists(const std::string& path) {
    return ::PathFileExistsW(ToolBox::Utf8ToWide(path).c_str()) != FALSE;
}

bool ToolBox::File::IsFile(const std::string& path) {
    return Exists(path) && !IsDirectory(path);
}
