#pragma once
// The WinINet status callback of the WinINet driver's sessions and the close of a request's
// handles. The callback's context is the request's internet info; handles opened with the
// context 0 (the cached connections) are not followed.

#include "ZYNSysWin.h"

#include <wininet.h>

class QORHttpInternetInfo;
class ZYNSysTraceClient;

class QORHttpAsyncWDriver {
public:
    static void CALLBACK inetCallBackFn(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                                        DWORD infoLength);
    // Closes the handle by the info's close mode: 1 at once. The asynchronous mode 2 belongs
    // to sessions opened asynchronously, which nothing opens: E_FAIL, as for any other mode.
    static HRESULT CloseHandle(ZYNSysTraceClient* trace, HINTERNET handle, QORHttpInternetInfo* internetInfo);
};
