#pragma once
// WinINet sessions, connections and requests; users link wininet.

#include "ZYNSysHandle.h"
#include "ZYNSysWin.h"

#include <wininet.h>

using ZYNSysInternetHandleTraits = ZYNSysHandleTraits<HINTERNET, &::InternetCloseHandle>;
using ZYNSysInternetHandle = ZYNSysHandle<ZYNSysInternetHandleTraits>;
