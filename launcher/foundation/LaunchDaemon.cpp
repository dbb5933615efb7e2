#include "LaunchDaemon.h"

#include "Config.h"
#include "FileAndFoldersManager.h"
#include "Logger.h"
#include "ToolBox.h"

bool LaunchDaemon::MetaInit(std::uint32_t startContext, const std::string& loggerName, const std::string& logFolder,
                            const std::string& baseFileName) {
    if (FileAndFoldersManager::Init(startContext)) {
        Logger::DeferredInternal("[LaunchDaemon::MetaInit] FileAndFoldersManager succcessfully init.");
    } else {
        Logger::DeferredWarn("[LaunchDaemon::MetaInit] FileAndFoldersManager init fail !");
    }

    std::string mainData;
    if (FileAndFoldersManager::GetFolderPath(FolderId::MAIN_DATA, mainData, false, nullptr)) {
        std::string path = mainData + "\\launcher.conf";
        Config::Init(path);
        Logger::DeferredInternal("[LaunchDaemon::MetaInit] Config succcessfully init.(" + path + ")");
        if (FileAndFoldersManager::GetStartContext() == 3) Config::ActivateOption(ConfigOption::TEST_MODE);
    } else {
        Logger::DeferredWarn("[LaunchDaemon::MetaInit] Config init fail : Cannot find base path [Folder::FOLDER_DATA_PATH] !");
    }

    std::string folder;
    if (!logFolder.empty() && ToolBox::File::IsDirectory(logFolder)) {
        folder = logFolder;
    } else if (!FileAndFoldersManager::GetFolderPath(FolderId::LOG, folder, true, nullptr)) {
        Logger::DeferredWarn(
            "[LaunchDaemon::MetaInit] Logger init fail : Cannot find base path [Folder::FOLDER_MAIN_LOG_PATH] !");
        folder.clear();
    }

    bool ok = Logger::Init(loggerName, folder, baseFileName.empty() ? std::string("zyn_log_file") : baseFileName);
    if (ok) Logger::DeferredInternal("[LaunchDaemon::MetaInit] Logger succcessfully init.");
    else Logger::DeferredWarn("[LaunchDaemon::MetaInit] Logger init fail !");
    return ok;
}

std::string JoinStrings(const std::vector<std::string>& items, const std::string& separator) {
    return ToolBox::Join(items, separator);
}
