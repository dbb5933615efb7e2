#include "PathTestSupport.h"

#include <cstring>

#include "ZYNSysKernelHandle.h"

bool UnderWine() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
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
