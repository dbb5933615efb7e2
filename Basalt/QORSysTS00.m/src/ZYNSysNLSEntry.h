#pragma once
// What the code-page converter takes from the language settings, and the seam through which the
// settings reach it. The settings are the provider unless another is installed; the bootstrap
// provider, which answers from LANG alone, is only ever used when installed explicitly.

#include <cstddef>
#include <cstdint>

#include "ZYNSysWin.h"

// The settings record that GetSettings fills and listeners receive. A text field that does not
// fit with its terminator arrives empty.
struct ZYNSysNLSEntry {
    char language[32];
    char secondName[32];
    char langString[32];
    char codePage[16];
    wchar_t decimalPoint[8];
    std::uint32_t maxCharSize;
};

using ZYNSysNLSListener = void (*)(const ZYNSysNLSEntry* entry);

class ZYNSysNLSProvider {
public:
    virtual ~ZYNSysNLSProvider() = default;
    // 0 with the record filled; E_INVALIDARG for a null record.
    virtual HRESULT GetSettings(ZYNSysNLSEntry* entry) = 0;
    // 0 added, 1 already present, E_INVALIDARG for null, E_FAIL when full.
    virtual HRESULT AddListener(ZYNSysNLSListener listener) = 0;
    // The Windows locale name of a Lang string, at most size bytes with the terminator; false
    // leaves the buffer as it was.
    virtual bool TranslateLangToBuffer(const char* lang, char* buffer, std::size_t size) = 0;
    // True while the settings initialise on the calling thread: conversions there must not ask
    // for the settings again.
    virtual bool IsInitializingOnCallingThread() = 0;
};

// The provider in use: the language settings, made on first use, until another is installed.
ZYNSysNLSProvider& ZYNSysNLSGetProvider();
// Installs a provider (null: the language settings) and answers the previous one (null: the
// language settings). Meant for start-up, before the first conversion.
ZYNSysNLSProvider* ZYNSysNLSSetProvider(ZYNSysNLSProvider* provider);
// Answers from LANG alone and never calls its listeners.
ZYNSysNLSProvider& ZYNSysNLSBootstrapProvider();
// The language settings (defined with them).
ZYNSysNLSProvider& ZYNSysNLSSettingsProvider();

// The bootstrap rule: "UTF-8" when the code page of LANG (the text after its first ".") is
// "UTF-8", else the ANSI code page as a number.
void ZYNSysNLSBootstrapEntry(ZYNSysNLSEntry& entry);

// Copies text into a fixed field when it fits with its terminator; else the field is left empty.
template <std::size_t N>
void ZYNSysNLSCopyField(char (&field)[N], const char* text) {
    field[0] = '\0';
    if (!text) return;
    std::size_t length = 0;
    while (length < N && text[length]) ++length;
    if (length >= N) return;
    for (std::size_t i = 0; i <= length; ++i) field[i] = text[i];
}
