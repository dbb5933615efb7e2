#pragma once
// Operations the launcher runs itself, on the machine and in its own session.

#include <cstdint>
#include <string>
#include <vector>

#include "FolderMaker.h"
#include "OperationsAsUser.h"

namespace Operations {

class Local {
public:
    // kind: 0 exists, 1 file, 2 folder; access: 0 none, 1 read, 2 write, 3 both.
    static bool CheckFile(const std::string& path, std::int32_t kind, std::int32_t access);
    // cmd[0] is the program. timeoutMs 0 does not wait, -1 waits without limit; sessionId
    // below 1 means the active session.
    static bool ExecuteCmd(const std::vector<std::string>& cmd, std::int32_t& exitCode, bool asSessionUser,
                           std::int32_t timeoutMs, bool runas, std::int32_t sessionId);
    static bool ExecuteCmdNoRunas(const std::vector<std::string>& cmd, std::int32_t& exitCode, bool asSessionUser,
                                  std::int32_t timeoutMs, std::int32_t sessionId);
    // True when a folder exists at the path at the end. Logs through the queued entry
    // points: the logger may hold its write lock while it calls this.
    static bool MakeFolder(const std::string& path);
    // kUnzipDone (extracted, or an existing folder kept), kUnzipArgumentEmpty or kUnzipFailed.
    static std::int32_t Unzip(const std::string& zipPath, const std::string& targetDir);
    // Posts to the first top-level window of the class; nothing waits for it to be handled.
    static bool PostMessageToWindow(const std::string& windowClass, std::uint32_t message, std::uint64_t wparam,
                                    std::int64_t lparam);
};

// The base's folder maker: MakeFolder here, the session user's folders through the user
// extension of the request's session.
class LocalOperationsFolderMaker final : public FolderMaker {
public:
    bool MakeFolder(const std::string& path) override { return Local::MakeFolder(path); }
    int MakeFolderAsUser(const OrdanaRequestInfo& request, const std::string& path, bool& created) override {
        return static_cast<int>(AsUser::MakeFolderAsUser(request, path, created));
    }
};

}  // namespace Operations
