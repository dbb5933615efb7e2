#pragma once
// The free functions that the drivers and the cookie store share: URL encoding, decoding and
// cracking, header-name and cookie-attribute lower-casing, and the WinINet settings the process
// writes to the registry once. Texts handed to the caller are malloc'ed (the caller frees them).
// Every failure is traced through the error-trace functions (QORHttpErrors.h). Nothing throws.

#include <cstdint>

#include "ZYNSysWin.h"

#include <wininet.h>

class ZYNSysTraceClient;

// Encode modes: the top bit encodes; the low bits say where.
constexpr std::uint32_t QORHTTP_URL_ENCODE = 0x80000000u;
constexpr std::uint32_t QORHTTP_URL_ENCODE_PATH = 0x1u;
constexpr std::uint32_t QORHTTP_URL_ENCODE_QUERY = 0x2u;
constexpr std::uint32_t QORHTTP_URL_ENCODE_FRAGMENT = 0x4u;
// Also encodes '%', '&', '+', '-', '.', '=', '_' and '~' in query and fragment.
constexpr std::uint32_t QORHTTP_URL_ENCODE_RESERVED = 0x8u;
// Exactly this value decodes.
constexpr std::uint32_t QORHTTP_URL_DECODE = 0x10000000u;
// What the drivers use.
constexpr std::uint32_t QORHTTP_URL_DEFAULT_MODE = 0x80000007u;

// Encodes or decodes an "http://", "https://" or "ws://" url into a new text in *out.
// 0, E_INVALIDARG, E_FAIL (a corrupted encoding) or E_OUTOFMEMORY; another mode with the top
// bit clear answers 0 and leaves *out unset.
HRESULT QORSysCodeUrl(const char* url, char** out, std::uint32_t mode) noexcept;

// Cracks the first `length` bytes of url (all of it for 0) into the asked-for components (a
// non-zero length field asks and receives the component's length; with a buffer the text is
// copied there, without one the pointer is set into url). A non-zero encodeMode encodes first
// and then needs a buffer for every component asked for. 0, E_INVALIDARG (also when a buffer
// is too small for its component and its NUL: that buffer is left untouched), 0x80072EE5 (user
// information without ':'), -1 (a port of more than 7 characters) or the encoder's error.
HRESULT QORSysCrackUrl(const char* url, DWORD length, std::uint32_t encodeMode,
                       URL_COMPONENTSA* components) noexcept;

// Lower-cases, in place, the header names of a response head (every line but the status line).
void HeaderToLower(char* head) noexcept;

// Lower-cases, in place, the attribute names of a cookie line; the cookie's name and every
// value keep their case. E_FAIL for a null text.
HRESULT CookieToLower(char* text) noexcept;

class QORHttpTools {
public:
    // Writes the WinINet feature settings and the connection limits, once per process.
    static HRESULT InitializeRegKeys(ZYNSysTraceClient* trace) noexcept;
    // Creates the key and sets a REG_DWORD value in it; 0 or 0x8007xxxx.
    static HRESULT CreateRegKey(ZYNSysTraceClient* trace, HKEY root, const char* valueName,
                                const char* keyPath, DWORD value, DWORD options) noexcept;
    // Reads a 4-byte value into *value (0 unless read): the registry's code, or E_FAIL when the
    // key cannot be opened.
    static HRESULT ReadRegKeys(ZYNSysTraceClient* trace, HKEY root, const char* keyPath,
                               const char* valueName, DWORD* value) noexcept;
};
