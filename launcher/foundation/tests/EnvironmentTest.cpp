// The environment is process-wide: its cases run in a child copy of this exe, which prints
// what it saw, and the parent checks the output and the exit code.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "FileSystem.h"
#include "ZYNSysKernelHandle.h"

namespace {

std::string Seen(const SharedWString& value) {
    return "[" + Utf16ToUtf8(value.c_str()) + "]";
}

std::string Win32Value(const wchar_t* name) {
    wchar_t buffer[256];
    DWORD length = ::GetEnvironmentVariableW(name, buffer, 256);
    return length == 0 ? "<unset>" : Seen(SharedWString(buffer));
}

int EnvironmentChild() {
    const wchar_t* name = L"VAROMET_PATHS_ENV";
    std::string out = "unset " + Seen(GetEnvW(name)) + "\n";
    SetEnvW(name, L"wert \u00FC");
    out += "set " + Seen(GetEnvW(name)) + " win32 " + Win32Value(name) + "\n";
    SetEnvW(name, L"");
    out += "removed " + Seen(GetEnvW(name)) + " win32 " + Win32Value(name) + "\n";
    SetEnvW(L"VAROMET_A=B", L"v");
    out += "equals in name " + Seen(GetEnvW(L"VAROMET_A")) + "\n";
    wchar_t* block = ::GetEnvironmentStringsW();
    std::size_t size = 0;
    while (block[size] || block[size + 1]) ++size;
    std::wstring before(block, size);
    ::FreeEnvironmentStringsW(block);
    SetEnvW(L"", L"x");
    block = ::GetEnvironmentStringsW();
    out += std::string("empty name ") + (std::wstring(block, size + 2).compare(0, size, before) == 0 &&
                                                  block[size] == 0 && block[size + 1] == 0
                                              ? "ignored"
                                              : "changed the block") +
           "\n";
    ::FreeEnvironmentStringsW(block);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

TEST(Environment, SetAndGetRoundTripInTheProcessEnvironment) {
    wchar_t exe[MAX_PATH];
    std::wstring line = L"\"" + std::wstring(exe, ::GetModuleFileNameW(nullptr, exe, MAX_PATH)) + L"\" --child environment";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    ZYNSysKernelHandle reader, writer;
    ASSERT_TRUE(::CreatePipe(reader.Put(), writer.Put(), &inherit, 0));
    ::SetHandleInformation(reader.Get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = writer.Get();
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info));
    ZYNSysKernelHandle process(info.hProcess), thread(info.hThread);
    writer.Reset();
    std::string output;
    char buffer[512];
    for (DWORD read = 0; ::ReadFile(reader.Get(), buffer, sizeof buffer, &read, nullptr) && read > 0;)
        output.append(buffer, read);
    ::WaitForSingleObject(process.Get(), INFINITE);
    DWORD code = 1;
    ::GetExitCodeProcess(process.Get(), &code);
    std::erase(output, '\r');
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(output,
              "unset []\n"
              "set [wert \xC3\xBC] win32 [wert \xC3\xBC]\n"
              "removed [] win32 <unset>\n"
              "equals in name []\n"
              "empty name ignored\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--child") == 0 && std::strcmp(argv[2], "environment") == 0)
        return EnvironmentChild();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
