#pragma once
// The entry of the GUI test programs. They are GUI programs, like the product: a console
// one would get a console host under Wine that keeps the inherited handles (and the test's
// files) open after the child ended. Include from exactly one file of the program.

#include "ZYNSysLocalMemory.h"
#include "ZYNSysWin.h"

#include <shellapi.h>

#include <string>

// Defined by the program, with its wide argument vector.
int GuiMain(int argc, wchar_t** argv);

// An argument (or any wide text) as UTF-8.
inline std::string Utf8(const wchar_t* text) {
    int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return {};
    std::string out(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(size) - 1);
    return out;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int argc = 0;
    const ZYNSysLocalPointer<wchar_t**> argv(::CommandLineToArgvW(::GetCommandLineW(), &argc));
    if (!argv) return 63;
    return GuiMain(argc, argv.Get());
}
