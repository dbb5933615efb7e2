#pragma once
// The launcher's table of well-known folders: each id resolves, at every query, to a
// path below the root of the start context; "faf_manager.save" may move entries.

#include <cstdint>
#include <string>

class OrdanaRequestInfo;

struct FolderEntry {
    std::string relative;
    std::string baseString;      // the absolute base, when baseItem is 0
    std::int32_t baseItem = 0;   // the parent folder's id
};

namespace FolderId {
constexpr std::int32_t PROGRAM_DATA = 1;
constexpr std::int32_t DAEMON_INSTALL_PATH = 2;
constexpr std::int32_t MAIN_DATA = 3;
constexpr std::int32_t OPERATION = 4;
constexpr std::int32_t DEFAULT_QORENV = 5;
constexpr std::int32_t INTERNAL_DATA = 6;
constexpr std::int32_t TEMP = 7;
constexpr std::int32_t UNZIP = 8;
constexpr std::int32_t USER_DATA = 9;
constexpr std::int32_t MEDIA_DDL = 10;
constexpr std::int32_t CAF_DDL = 11;
constexpr std::int32_t LOG = 12;
constexpr std::int32_t INSTALLER_LOGS = 13;
constexpr std::int32_t SELFUPDATE_LOGS = 14;
constexpr std::int32_t ICON = 15;
}  // namespace FolderId

class FileAndFoldersManager {
public:
    // The path an entry resolves to when its parents are missing or loop.
    static constexpr const char* kErrorPath = ".ERROR.";

    static bool Init(std::uint32_t startContext);
    static std::uint32_t GetStartContext();
    // On failure the out path is left unchanged. With create, a missing folder is made,
    // in the request's user session when a request is given.
    static bool GetFolderPath(std::int32_t id, std::string& path, bool create, const OrdanaRequestInfo* request);
    static bool GetFolder(std::int32_t id, FolderEntry& entry, bool create, const OrdanaRequestInfo* request);
    static std::int32_t GetFolderIdFromName(const std::string& name);
    static void put(std::int32_t id, const FolderEntry& entry);
    static void putRelative(std::int32_t id, std::int32_t parent, const std::string& relative);
    static void putAbsolute(std::int32_t id, const std::string& path);
    static std::string ResolvePath(const FolderEntry& entry);
    static bool Load();
};
