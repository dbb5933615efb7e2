#pragma once
// CryptoAPI providers and the hash objects made from them; users link advapi32.

#include "ZYNSysHandle.h"
#include "ZYNSysWin.h"

#include <wincrypt.h>

inline void ZYNSysReleaseCryptContext(HCRYPTPROV provider) { ::CryptReleaseContext(provider, 0); }

using ZYNSysCryptProviderTraits = ZYNSysHandleTraits<HCRYPTPROV, &ZYNSysReleaseCryptContext>;
using ZYNSysCryptHashTraits = ZYNSysHandleTraits<HCRYPTHASH, &::CryptDestroyHash>;
using ZYNSysCryptProvider = ZYNSysHandle<ZYNSysCryptProviderTraits>;
using ZYNSysCryptHash = ZYNSysHandle<ZYNSysCryptHashTraits>;
