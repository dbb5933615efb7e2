// A child for the tests of started processes:
//   exec_helper exit CODE     ends with CODE (decimal, may exceed 2^31)
//   exec_helper sleep MS      sleeps, then ends with 0
//   exec_helper argv FILE ... writes its argument vector to FILE, one UTF-8 line each, ends with 0

#include "GuiMain.h"
#include "ZYNSysWin.h"

#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

int Main(int argc, wchar_t** argv) {
    if (argc < 3) return 64;
    const std::wstring mode = argv[1];
    if (mode == L"exit") {
        ::ExitProcess(static_cast<UINT>(std::wcstoul(argv[2], nullptr, 10)));
    }
    if (mode == L"sleep") {
        ::Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
        return 0;
    }
    if (mode == L"argv") {
        FILE* out = ::_wfopen(argv[2], L"wb");
        if (!out) return 65;
        for (int i = 0; i < argc; ++i) {
            std::string line = Utf8(argv[i]) + "\n";
            std::fwrite(line.data(), 1, line.size(), out);
        }
        std::fclose(out);
        return 0;
    }
    return 66;
}

}  // namespace

int GuiMain(int argc, wchar_t** argv) { return Main(argc, argv); }
