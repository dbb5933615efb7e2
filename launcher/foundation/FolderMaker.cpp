#include "FolderMaker.h"

#include "ZYNSysWin.h"

#include <atomic>

#include <shlobj.h>

#include "ToolBox.h"

namespace {

class LocalFolderMaker final : public FolderMaker {
public:
    bool MakeFolder(const std::string& path) override {
        if (path.empty()) return false;
        std::wstring wide = ToolBox::Utf8ToWide(path);
        int code = ::SHCreateDirectoryExW(nullptr, wide.c_str(), nullptr);
        if (code == ERROR_SUCCESS) return true;
        // "Already exists" is also the answer for a file of that name, which is no folder.
        return (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS) && ToolBox::File::IsDirectory(path);
    }

    int MakeFolderAsUser(const OrdanaRequestInfo&, const std::string&, bool&) override {
        return 2;  // no user extension here: the caller falls back to a local folder
    }
};

LocalFolderMaker g_localMaker;
std::atomic<FolderMaker*> g_maker{&g_localMaker};

}  // namespace

void SetFolderMaker(FolderMaker* maker) {
    g_maker.store(maker ? maker : &g_localMaker);
}

FolderMaker& GetFolderMaker() {
    return *g_maker.load();
}
