#pragma once
// The converter between the process's code page and UTF-16 (UCS-2 in its names): UTF-8, a Windows
// code page by number, or "Identity" (one byte per unit). One converter is current for the
// process; the string core converts through it. Converters do not change once current.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "ZYNSysNLSEntry.h"
#include "ZYNSysWin.h"

class ZYNSysCodePage {
public:
    // (converter, in/out source, in/out source bytes, destination, in/out count): count on entry
    // is the most characters to convert, 0 or less for all of them; on return the units produced,
    // which are also answered (or -1). The destination must hold count units when count > 0, and a
    // terminator is written only within them; else one unit per source byte plus one.
    using ToUC2Function = long (*)(ZYNSysCodePage* converter, const char** source, long* size, wchar_t* dest,
                                   long* count);
    // (converter, units, unit count, destination or null, capacity in bytes, out byte count): at
    // most capacity - 1 bytes and a terminator, never a cut character. A null destination is
    // the size query: the byte count of the whole conversion, terminator excluded.
    using FromUC2Function = long (*)(ZYNSysCodePage* converter, const wchar_t* source, long count, char* dest,
                                     std::size_t capacity, std::size_t* bytes);

    static constexpr std::size_t kLocaleNameSize = 85;

    explicit ZYNSysCodePage(std::uint32_t maxCharSize = 1);
    virtual ~ZYNSysCodePage();
    ZYNSysCodePage(const ZYNSysCodePage&) = delete;
    ZYNSysCodePage& operator=(const ZYNSysCodePage&) = delete;

    // (Re)configures: 0, or E_FAIL when the name is missing or no valid code page, which leaves an
    // "Identity" converter. A name equal to the present one changes only maxCharSize.
    HRESULT Create(const char* name, std::uint32_t maxCharSize, const char* language);

    // Builds the current converter on first use.
    static ZYNSysCodePage* GetCurrent();
    // 1 registered, 0 when the settings refused the listener.
    static int RegisterNLSCallback();
    // Makes a converter from the record and makes it current; the previous one is parked.
    static void OnNLSChange(const ZYNSysNLSEntry* entry);

    // Everything converted; *count receives the units produced. dest has room for them.
    static long ToUC2(ZYNSysCodePage* converter, const char* bytes, long size, wchar_t* dest, long* count);
    static long FromUC2(ZYNSysCodePage* converter, const wchar_t* units, long count, char* dest,
                        std::size_t capacity, std::size_t* bytes);

    const char* GetName() const { return m_name ? m_name.get() : ""; }
    const char* GetLocaleName() const { return m_localeName ? m_localeName.get() : ""; }
    UINT GetCodePage() const { return m_codePage; }
    std::uint32_t GetMaxCharSize() const { return m_maxCharSize; }
    bool IsUTF8() const { return m_utf8 != 0; }
    ToUC2Function GetToUC2() const { return m_toUC2; }
    FromUC2Function GetFromUC2() const { return m_fromUC2; }

    static long _CPtoUC2(ZYNSysCodePage* converter, const char** source, long* size, wchar_t* dest, long* count);
    static long _UC2toCP(ZYNSysCodePage* converter, const wchar_t* source, long count, char* dest,
                         std::size_t capacity, std::size_t* bytes);
    static long _UTF8toUC2(ZYNSysCodePage* converter, const char** source, long* size, wchar_t* dest, long* count);
    static long _UC2toUTF8(ZYNSysCodePage* converter, const wchar_t* source, long count, char* dest,
                           std::size_t capacity, std::size_t* bytes);
    static long _IdentityToUC2(ZYNSysCodePage* converter, const char** source, long* size, wchar_t* dest,
                               long* count);
    static long _UC2toIdentity(ZYNSysCodePage* converter, const wchar_t* source, long count, char* dest,
                               std::size_t capacity, std::size_t* bytes);

private:
    bool SetName(const char* name);

    std::unique_ptr<char[]> m_name;
    ToUC2Function m_toUC2 = &_IdentityToUC2;
    FromUC2Function m_fromUC2 = &_UC2toIdentity;
    std::unique_ptr<char[]> m_localeName;
    UINT m_codePage = 0;
    std::uint32_t m_maxCharSize = 1;
    unsigned char m_utf8 = 0;
};

// FromUC2 through the current converter; bytes may be null.
long ZYNSysCodePageConvertCurrent(const wchar_t* units, long count, char* dest, std::size_t capacity,
                                  std::size_t* bytes);
// Decodes UTF-8 whatever the current converter; no terminator. The destination holds count units.
int ZYNSysUTF8ToUTF16(const char* bytes, long count, wchar_t* dest, long* units);

// 1 once the listener is registered with the settings, 0 before or when they refused it.
int ZYNSysCodePageRegistrationStatus();
// Converters superseded by OnNLSChange and parked until exit; lets tests see the old one is kept.
int ZYNSysCodePageParkedCount();
