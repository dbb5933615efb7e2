#include "FileAndFoldersManager.h"

#include "ZYNSysWin.h"

#include <atomic>
#include <cwchar>
#include <map>
#include <vector>

#include <shlobj.h>

#include "FolderMaker.h"
#include "Json.h"
#include "Logger.h"
#include "PathName.h"
#include "TextFile.h"
#include "ToolBox.h"

namespace {

const std::map<std::string, std::int32_t> kFolderNames = {
    {"PROGRAM_DATA", 1}, {"DAEMON_INSTALL_PATH", 2}, {"MAIN_DATA", 3}, {"OPERATION", 4},
    {"DEFAULT_QORENV", 5}, {"INTERNAL_DATA", 6},     {"TEMP", 7},      {"UNZIP", 8},
    {"USER_DATA", 9},    {"MEDIA_DDL", 10},          {"CAF_DDL", 11},  {"LOG", 12},
    {"INSTALLER_LOGS", 13}, {"SELFUPDATE_LOGS", 14}, {"ICON", 15},
};

// More parents than there are folders means the chain loops.
constexpr int kMaxDepth = 16;

std::atomic<bool> g_initialised{false};
std::uint32_t g_startContext = 0;
std::map<std::int32_t, FolderEntry> g_entries;

std::string Resolve(const FolderEntry& entry, int depth) {
    std::string base = entry.baseString;
    if (entry.baseItem != 0) {
        auto parent = g_entries.find(entry.baseItem);
        if (parent == g_entries.end() || depth >= kMaxDepth) return FileAndFoldersManager::kErrorPath;
        base = Resolve(parent->second, depth + 1);
        if (base == FileAndFoldersManager::kErrorPath) return base;
    }
    PathName path(base);
    if (!entry.relative.empty()) path.Append(entry.relative);
    return path.GetText();
}

// The root of the start context, or empty.
std::string FindRoot(std::uint32_t context, const PathName& executableFolder) {
    if (context == 0 || context == 2) {
        Logger::DeferredInternal("[FileAndFoldersManager::Init]try to read pointers file as we are in Service/admin context");
        std::string file = executableFolder.GetText() + "\\pdata.ptr";
        if (!ToolBox::File::Exists(file)) return {};
        Logger::DeferredInternal("[FileAndFoldersManager::Init]pointer file existe : " + file);
        std::string content;
        if (!ReadTextFile(file, content)) {
            Logger::DeferredError("[FileAndFoldersManager::Init]Fail to open this file : " + file);
            return {};
        }
        std::vector<std::string> lines = SplitLines(content);
        Logger::DeferredInternal("[FileAndFoldersManager::Init]pointer file content : [" + ToolBox::Join(lines, ", ") + "]");
        return lines.size() == 1 ? lines[0] : std::string();
    }
    if (context == 1) {
        Logger::DeferredInternal(
            "[FileAndFoldersManager::Init]try to retrive 'CSIDL_COMMON_APPDATA' CSIDL value as we are in USER context");
        wchar_t buffer[MAX_PATH] = {};
        if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer))) return {};
        // The platform fails a folder that does not fit; an answer that fills the buffer without
        // its end is refused as well, never read beyond it.
        if (::wcsnlen(buffer, MAX_PATH) == MAX_PATH) return {};
        return ToolBox::WideCStrToUtf8(buffer);
    }
    if (context == 3) {
        Logger::DeferredInternal("[FileAndFoldersManager::Init]tinkerting with WEX_TRQ_TMP as we are in TRQ context");
        std::string tmp;
        ToolBox::GetEnv("WEX_TRQ_TMP", tmp);
        return tmp + "\\LauncherData";
    }
    return {};
}

FolderEntry EntryFromJson(const JSON::Value* value) {
    FolderEntry entry;
    if (!value || !value->IsObject()) return entry;
    std::string parent;
    JSON::GetStringField("baseItem", parent, value);
    JSON::GetStringField("baseString", entry.baseString, value);
    JSON::GetStringField("relative", entry.relative, value);
    if (!parent.empty()) {
        auto id = kFolderNames.find(parent);
        entry.baseItem = id == kFolderNames.end() ? 0 : id->second;
    }
    return entry;
}

}  // namespace

bool FileAndFoldersManager::Init(std::uint32_t context) {
    Logger::DeferredInternal("[FileAndFoldersManager::Init]Initializing FaF[" + std::to_string(context) + "] ... ");
    if (g_initialised.load()) return true;
    g_startContext = context;
    Logger::DeferredInternal("[FileAndFoldersManager::Init]deternimning std path depending on Context");
    PathName executableFolder = ToolBox::GetExecutableFolder();
    std::string root = FindRoot(context, executableFolder);
    if (root.empty()) return false;

    Logger::Internal("[FileAndFoldersManager::Init]filling datas ...");
    putAbsolute(FolderId::DAEMON_INSTALL_PATH, executableFolder.GetText());
    putAbsolute(FolderId::PROGRAM_DATA, root);
    putRelative(FolderId::MAIN_DATA, FolderId::PROGRAM_DATA, "Korrintek\\VarometLauncher");
    putRelative(FolderId::OPERATION, FolderId::MAIN_DATA, "OperationData");
    putRelative(FolderId::DEFAULT_QORENV, FolderId::OPERATION, "DefaultQorEnvRep");
    putRelative(FolderId::INTERNAL_DATA, FolderId::MAIN_DATA, "InternalData");
    putRelative(FolderId::TEMP, FolderId::INTERNAL_DATA, "Temp");
    putRelative(FolderId::UNZIP, FolderId::INTERNAL_DATA, "Unzip");
    putRelative(FolderId::ICON, FolderId::INTERNAL_DATA, "Icon");
    putRelative(FolderId::LOG, FolderId::MAIN_DATA, "logs");
    putRelative(FolderId::INSTALLER_LOGS, FolderId::LOG, "install_logs");
    putRelative(FolderId::SELFUPDATE_LOGS, FolderId::LOG, "update_logs");
    putRelative(FolderId::USER_DATA, FolderId::MAIN_DATA, "defaultDataStore");
    putRelative(FolderId::MEDIA_DDL, FolderId::USER_DATA, "Media");
    putRelative(FolderId::CAF_DDL, FolderId::USER_DATA, "Cafs");
    Load();
    g_initialised.store(true);
    return true;
}

std::uint32_t FileAndFoldersManager::GetStartContext() {
    return g_startContext;
}

bool FileAndFoldersManager::GetFolder(std::int32_t id, FolderEntry& entry, bool create,
                                      const OrdanaRequestInfo* request) {
    if (!g_initialised.load()) {
        Logger::DeferredDebug("[FileAndFoldersManager::GetFolder] FaF not initalized !");
        return false;
    }
    auto found = g_entries.find(id);
    if (found == g_entries.end()) {
        Logger::DeferredDebug("[FileAndFoldersManager::GetFolder] Unknown folder Id [" + std::to_string(id) + "]!");
        return false;
    }
    entry = found->second;
    std::string path = ResolvePath(entry);
    // Never a folder named ".ERROR." in the current directory.
    if (path == kErrorPath) {
        Logger::DeferredWarn("[FileAndFoldersManager::GetFolder] Cannot resolve folder Id [" + std::to_string(id) + "]!");
        return false;
    }
    if (!create || ToolBox::File::Exists(path)) return true;
    if (request) {
        bool created = false;
        if (GetFolderMaker().MakeFolderAsUser(*request, path, created) == 0) return created;
    }
    return GetFolderMaker().MakeFolder(path);
}

bool FileAndFoldersManager::GetFolderPath(std::int32_t id, std::string& path, bool create,
                                          const OrdanaRequestInfo* request) {
    FolderEntry entry;
    if (!GetFolder(id, entry, create, request)) return false;
    path = ResolvePath(entry);
    return true;
}

std::int32_t FileAndFoldersManager::GetFolderIdFromName(const std::string& name) {
    if (!g_initialised.load()) {
        Logger::DeferredDebug("[FileAndFoldersManager::GetFolderIdFromName] FaF not initalized !");
        return 0;
    }
    auto found = kFolderNames.find(name);
    return found == kFolderNames.end() ? 0 : found->second;
}

void FileAndFoldersManager::put(std::int32_t id, const FolderEntry& entry) {
    Logger::DeferredInternal("[FileAndFoldersManager::put] Setting [" + std::to_string(id) + "] to [(" +
                             std::to_string(entry.baseItem) + "|" + entry.baseString + ")\\" + entry.relative + "]");
    g_entries[id] = entry;
}

void FileAndFoldersManager::putRelative(std::int32_t id, std::int32_t parent, const std::string& relative) {
    put(id, FolderEntry{relative, std::string(), parent});
}

void FileAndFoldersManager::putAbsolute(std::int32_t id, const std::string& path) {
    put(id, FolderEntry{std::string(), path, 0});
}

std::string FileAndFoldersManager::ResolvePath(const FolderEntry& entry) {
    return Resolve(entry, 0);
}

bool FileAndFoldersManager::Load() {
    auto internal = g_entries.find(FolderId::INTERNAL_DATA);
    if (internal == g_entries.end()) {
        Logger::DeferredWarn("[FileAndFoldersManager::Load] Cannot resolve the internal data path!");
        return false;
    }
    std::string folder = ResolvePath(internal->second);
    if (folder == kErrorPath) return false;
    if (!ToolBox::File::Exists(folder)) GetFolderMaker().MakeFolder(folder);
    std::string file = folder + "\\faf_manager.save";
    if (!ToolBox::File::Exists(file)) return true;

    std::string content;
    if (!ReadTextFile(file, content)) return true;
    JSON::Builder builder;
    if (builder.ParseString(content) != 0) {
        Logger::DeferredWarn("[FileAndFoldersManager::Load] Fail to parse the content of this file: " + file);
        // Kept aside, not destroyed: a hand-edited file with one stray comma is still worth mending.
        std::wstring from = ToolBox::Utf8ToWide(file);
        std::wstring to = from + L".bad";
        ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING);
        return true;
    }
    JSON::ValuePtr document = builder.Detach();
    if (!document || !document->IsObject()) return true;
    bool failed = false;
    for (const auto& member : static_cast<const JSON::Object&>(*document)) {
        if (!member.value.IsObject()) {
            failed = true;
            continue;
        }
        auto id = kFolderNames.find(member.key);
        if (id == kFolderNames.end()) {
            Logger::DeferredWarn("[FileAndFoldersManager::Load] Unknown folder id: [" + member.key + "]");
            continue;
        }
        put(id->second, EntryFromJson(&member.value));
    }
    return !failed;
}
