#pragma once
// The entry of the GUI test programs. They are GUI programs, like the product: a console
// one would get a console host under Wine that keeps the inherited handles (and the test's
// files) open after the child ended. Include from exactly one file of the program.

#include "ZYNSysHandle.h"
#include "ZYNSysWin.h"

#include <shellapi.h>

// Defined by the program, with its wide argument vector.
int GuiMain(int argc, wchar_t** argv);

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    ZYNSysLocalMemory owner(argv);
    if (!argv) return 63;
    return GuiMain(argc, argv);
}
