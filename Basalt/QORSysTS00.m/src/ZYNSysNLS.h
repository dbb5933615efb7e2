#pragma once
// The process's language settings: language, locale, code page, maximum bytes per character and
// decimal point, taken from LANG or the Windows user locale, checked against the supported
// languages file "SUPPLANG_Q9" and applied to the C runtime. They initialise on first use.

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <list>
#include <memory>
#include <string>

#include "ZYNSysNLSEntry.h"
#include "ZYNSysWin.h"

// One line of the languages file.
struct ZYNSysSupplangRecord {
    std::string language;
    std::string secondName;
    std::string langString;
    std::string codePage;
};

using ZYNSysSupplangList = std::list<ZYNSysSupplangRecord>;

// The query of QuerySupplang's mode 1.
struct ZYNSysSupplangPredicate {
    bool (*match)(const ZYNSysSupplangRecord& record, void* argument);
    void* argument;
};

// What ReadLangVariable derives from the environment.
struct ZYNSysLangVariable {
    std::string langValue;
    std::string codePage;
    std::string currentFormat;
};

class ZYNSysNLS {
public:
    static constexpr std::size_t kLocaleNameRoom = 104;
    static constexpr std::size_t kTranslatedRoom = 85;

    // 1 nothing to do, 2 re-entered on this thread, 4 initialised, 0 failed (still pending).
    static int EnsureInitialized(const char* language, bool force);
    static void EnsureInitializedEntry();
    // 0, or E_INVALIDARG for a null record.
    static HRESULT GetSettings(ZYNSysNLSEntry* entry);
    static std::uint32_t GetMaxCharSize();
    // The C runtime locale name, cut to size - 1 bytes and terminated.
    static void GetLocaleName(char* buffer, std::size_t size);
    // The whole name, for re-applying it: the runtime's names run past any fixed room.
    static std::string FullLocaleName();
    // 0 added, 1 already present, E_INVALIDARG for null, E_FAIL when four are registered.
    static HRESULT AddListener(ZYNSysNLSListener listener);
    // The name handed to setlocale for a Lang string, cut to size - 1 bytes and terminated; false
    // when there is no room at all.
    static bool TranslateLangToBuffer(const char* lang, char* buffer, std::size_t size);
    // mode 0: query is a ZYNSysSupplangRecord template; mode 1: a ZYNSysSupplangPredicate.
    // *count on entry: the most records to list; on return: the number of matches.
    static HRESULT QuerySupplang(const void* query, int mode, int* count, std::unique_ptr<ZYNSysSupplangList>* list);

    static ZYNSysLangVariable ReadLangVariable();
    // The UTF-16 name, or empty when it does not resolve.
    static std::wstring ResolveLocaleName(const char* name);
    static std::wstring GetLocaleAnsiCodePage(const wchar_t* locale);
    static std::string TranslateLangString(const std::string& lang);

    static bool IsInitializingOnCallingThread();

    // Writes "[PID:<id>]", the message and a line end when "ZYNSysNLSCoreTrace" is set.
    static void Trace(FILE* stream, const char* format, ...);
};

// Views of the settings for tests.
struct ZYNSysNLSProbe {
    static bool IsPending();
    static std::string LangValue();
    static int TableUsers();
    static bool HasStandardLocale();
};
