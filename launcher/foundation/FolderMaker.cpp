#include "FolderMaker.h"

#include "ZYNSysWin.h"

#include <shlobj.h>

#include "ToolBox.h"

namespace {

class LocalFolderMaker final : public FolderMaker {
public:
    bool MakeFolder(const std::string& path) override {
        if (path.empty()) return false;
        std::wstring wide = ToolBox::Utf8ToWide(path);
        // A NUL would make the platform create the shorter path before it.
        if (wide.empty() || wide.find(L'\0') != std::wstring::npos) return false;
        // The platform's maker refuses a relative path: it is taken from the current folder.
        DWORD size = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
        if (size == 0) return false;
        std::wstring full(size, L'\0');
        DWORD written = ::GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
        if (written == 0 || written >= size) return false;
        full.resize(written);
        // Where levels are missing the shell's maker keeps only MAX_PATH units of a longer
        // path, and makes the folders of that shorter text.
        if (full.size() >= MAX_PATH) {
            ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
        int code = ::SHCreateDirectoryExW(nullptr, full.c_str(), nullptr);
        if (code == ERROR_SUCCESS) return true;
        // "Already exists" is also the answer for a file of that name, which is no folder.
        return (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS) && ToolBox::File::IsDirectory(path);
    }

    int MakeFolderAsUser(const OrdanaRequestInfo&, const std::string&, bool&) override {
        return 2;  // no user extension here: the caller falls back to a local folder
    }
};

LocalFolderMaker g_localMaker;
constinit Seam<FolderMaker> g_maker{g_localMaker};

}  // namespace

FolderMaker* SetFolderMaker(FolderMaker* maker) { return g_maker.Set(maker); }
FolderMaker& GetFolderMaker() { return g_maker.Get(); }
