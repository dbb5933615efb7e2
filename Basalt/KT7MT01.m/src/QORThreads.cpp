#include "QORThreads.h"

#include "ZYNSysWin.h"

std::uint32_t QORThreads::GetCurrentThreadId() {
    return ::GetCurrentThreadId();
}
