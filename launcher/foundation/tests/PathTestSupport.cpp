#include "PathTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "ZYNSysHandle.h"

bool UnderWine() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}

TestFolder::TestFolder() {
    wchar_t exe[MAX_PATH];
    DWORD length = ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring folder(exe, length);
    folder.resize(folder.rfind(L'\\'));
    folder += L"\\test-tmp";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const char* test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    path_ = folder + L"\\" + std::wstring(test, test + std::strlen(test)) + L"-" +
            std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(::GetTickCount64());
    EXPECT_TRUE(::CreateDirectoryW(path_.c_str(), nullptr)) << "cannot make the test folder";
}

TestFolder::~TestFolder() {
    if (UnderWine()) {
        // Wine resolves links before deleting them: the Unix side removes links as links.
        std::size_t cut = path_.rfind(L'\\');
        std::string name = Utf16ToUtf8(path_.substr(cut + 1).c_str());
        EXPECT_TRUE(RunUnixShell(path_.substr(0, cut), "rm -rf '" + name + "'", [this] { return !Exists(path_); }))
            << "the test folder stayed";
        return;
    }
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path_, error))
        ::SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
    std::filesystem::remove_all(path_, error);
}

SharedWString Wide(const std::wstring& text) {
    SharedWString out;
    out.Assign(text.data(), static_cast<std::int32_t>(text.size()));
    return out;
}

std::wstring Std(const SharedWString& text) {
    return std::wstring(text.c_str(), static_cast<std::size_t>(text.GetLength()));
}

bool MakeFile(const std::wstring& path, const char* bytes) {
    ZYNSysKernelHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    DWORD written = 0;
    return file && ::WriteFile(file.Get(), bytes, static_cast<DWORD>(std::strlen(bytes)), &written, nullptr);
}

std::string ReadAll(const std::wstring& path) {
    ZYNSysKernelHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    char buffer[256];
    DWORD read = 0;
    if (!file || !::ReadFile(file.Get(), buffer, sizeof buffer, &read, nullptr)) return "<unreadable>";
    return std::string(buffer, read);
}

bool MakeFolder(const std::wstring& path) {
    return ::CreateDirectoryW(path.c_str(), nullptr);
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool RunUnixShell(const std::wstring& folder, const std::string& command, const std::function<bool()>& done) {
    std::wstring line = L"/bin/sh -c \"" + Utf8ToUtf16(command.c_str()) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(L"Z:\\bin\\sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                          &info))
        return false;
    ZYNSysKernelHandle process(info.hProcess);
    // For a Unix program Wine fills in no real handles.
    ZYNSysKernelHandle thread(info.hProcess ? info.hThread : nullptr);
    for (int i = 0; i < 1000; ++i) {
        if (done()) return true;
        ::Sleep(10);
    }
    return false;
}
