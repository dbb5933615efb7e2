#include "TestFolder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "ZYNSysWin.h"

namespace fs = std::filesystem;

namespace {

std::atomic<unsigned> g_counter{0};

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), bytes, nullptr, nullptr);
    return out;
}

// A tree far larger than any test makes: the walk ends even on a file system that lies.
constexpr std::size_t kMostEntries = 200000;

// Only the error_code forms: a clean-up that throws from a destructor ends the test program.
// The walk is its own rather than remove_all, which follows links (and under Wine spins on a
// link whose target it has just removed): a link is removed as an entry, never entered.
void RemoveTree(const fs::path& root) {
    std::vector<fs::path> folders{root}, others;
    std::error_code error;
    for (std::size_t i = 0; i < folders.size() && folders.size() + others.size() < kMostEntries; ++i) {
        fs::directory_iterator entry(folders[i], error);
        for (const fs::directory_iterator end; !error && entry != end && others.size() < kMostEntries;
             entry.increment(error)) {
            const DWORD attributes = ::GetFileAttributesW(entry->path().c_str());
            // A read-only entry would refuse its removal.
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
                ::SetFileAttributesW(entry->path().c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
            const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                                !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
            (folder ? folders : others).push_back(entry->path());
        }
        error.clear();
    }
    for (const fs::path& path : others) fs::remove(path, error);
    // Parents were found before their children.
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) fs::remove(*folder, error);
    if (fs::exists(root, error) || error)
        std::fprintf(stderr, "the test folder stayed: %s\n", ToUtf8(root.wstring()).c_str());
}

}  // namespace

std::wstring TestProgramFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.rfind(L'\\'));
}

TestFolder::TestFolder() {
    const std::wstring root = TestProgramFolder() + L"\\test-tmp";
    std::error_code error;
    fs::create_directories(root, error);
    const std::wstring prefix = root + L"\\t" + std::to_wstring(::GetCurrentProcessId()) + L"-";
    // A folder left behind by an earlier program of the same id is not taken over.
    bool made = false;
    for (int attempt = 0; attempt < 1000 && !made && !error; ++attempt) {
        path_ = prefix + std::to_wstring(++g_counter);
        made = fs::create_directory(path_, error);
    }
    utf8_ = ToUtf8(path_);
    EXPECT_TRUE(made) << "cannot make the test folder " << utf8_ << ": " << error.message();
}

TestFolder::~TestFolder() {
    try {
        RemoveTree(path_);
    } catch (...) {
        std::fputs("the test folder could not be removed\n", stderr);
    }
}
