#pragma once
// Process-wide caches of WinINet sessions (by user agent) and connections (by host, port and
// session), so that driver objects and requests reuse them. Look up first; on a miss open the
// handle, then store it. A handle stored with result 0 belongs to the cache and stays open for
// the life of the process; on any other result the caller's owner keeps it. The tables are made
// on first use; a lookup never fails, it answers 0 (null). Nothing throws.

#include <cstdint>

#include "ZYNSysInternetHandle.h"

// h := h x 37 + character (signed) over the text, every character below 128 characters, else
// every length / 64-th; the result's low 31 bits; 0 for a null or empty text.
std::uint32_t QORHttpTextHash(const char* text) noexcept;

// which 0 selects the session table the WinINet driver uses, any other value the second one.
HINTERNET ZYNSysGetSession(const char* key, int which) noexcept;
// 0 (the cache now owns the session), E_INVALIDARG (null key or no session), E_FAIL (the key is
// cached already, ignoring case) or E_OUTOFMEMORY.
HRESULT ZYNSysSetSession(const char* key, ZYNSysInternetHandle& session, int which) noexcept;

HINTERNET ZYNSysGetConnection(const char* host, std::uint32_t port, HINTERNET session) noexcept;
// 0 (the cache now owns the connection), E_INVALIDARG (null host, null session, no connection or
// a port above 65535), E_OUTOFMEMORY or E_FAIL (host, ignoring case, port and session cached).
HRESULT ZYNSysSetConnection(const char* host, std::uint32_t port, HINTERNET session,
                            ZYNSysInternetHandle& connection) noexcept;
