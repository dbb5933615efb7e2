#pragma once
// Asks a CAS server whether the session of this process is still valid, through the facade, and
// reads who is logged in from its answer. The cookie store calls it before a CASTGC cookie may
// replace the one it keeps.

#include "ZYNSysWin.h"

// 0 when the server answers 200 and the store holds a CASTGC cookie for the check's URL, with
// *outUserName and *outEmail the "username" and "email" members of the answer (null when absent);
// 0x803D0022 when the store holds no CASTGC cookie for it; E_FAIL otherwise. The body goes to
// *outBody when keepBody is 1. Every text handed out is malloc'ed (free it); every output may be
// null. Nothing throws.
HRESULT CheckIfCASValid(const char* casUrl, char** outUserName, char** outEmail, char** outBody,
                        int keepBody) noexcept;
