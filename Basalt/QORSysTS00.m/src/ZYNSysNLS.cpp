#include "ZYNSysNLS.h"

#include <atomic>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <locale>
#include <mbctype.h>
#include <new>
#include <vector>

#include "QORInterUnicodeString.h"
#include "QORResourceLock.h"
#include "ZYNDebugBreak.h"
#include "ZYNSysCLocale.h"
#include "ZYNSysEnvironment.h"
#include "ZYNSysStringTokenizer.h"

namespace {

// Built on first use and never destroyed: threads may still read the settings while exit runs.
template <typename T>
T& Immortal() {
    alignas(T) static unsigned char storage[sizeof(T)];
    static T* object = new (storage) T;
    return *object;
}

constexpr int kMaxListeners = 4;

struct Settings {
    QORResourceLock lock{1};
    std::string language = "English";
    std::string secondName;
    std::string currentFormat;
    std::string langValue;
    std::string langString;
    std::string codePage;
    std::string cLocaleName;
    std::wstring decimalPoint = L".";
    std::uint32_t maxCharSize = 1;
    std::wstring windowsLocaleName;
    std::vector<ZYNSysSupplangRecord> tableCopy;
    std::locale standardLocale = std::locale::classic();

    ZYNSysNLSListener listeners[kMaxListeners] = {};
    int tableUsers = 0;
    std::unique_ptr<std::vector<ZYNSysSupplangRecord>> table;
    int reentry = 0;
    bool pending = true;
    std::atomic<DWORD> initializingThread{0};
};

Settings& TheSettings() { return Immortal<Settings>(); }

class ReadGuard {
public:
    explicit ReadGuard(QORResourceLock& lock) : lock_(lock) { lock_.ReadLock(); }
    ~ReadGuard() { lock_.ReadUnlock(); }
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;

private:
    QORResourceLock& lock_;
};

class WriteGuard {
public:
    explicit WriteGuard(QORResourceLock& lock) : lock_(lock) { lock_.WriteLock(); }
    ~WriteGuard() { lock_.WriteUnlock(); }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;

private:
    QORResourceLock& lock_;
};

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// The settings work in UTF-16 and UTF-8 through the system: the converter is made from them.
std::string ToUtf8(const wchar_t* text) {
    if (!text || !*text) return std::string();
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) return std::string();
    std::string out(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], bytes, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(bytes - 1));
    return out;
}

std::wstring ToWide(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int units = ::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (units <= 1) return std::wstring();
    std::wstring out(static_cast<std::size_t>(units), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0], units);
    out.resize(static_cast<std::size_t>(units - 1));
    return out;
}

// False when the variable is unset.
bool ReadVariable(const wchar_t* name, std::wstring& value) {
    value.clear();
    DWORD room = 260;
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::wstring buffer(room, L'\0');
        ::SetLastError(ERROR_SUCCESS);
        const DWORD length = ::GetEnvironmentVariableW(name, &buffer[0], room);
        if (length == 0) return ::GetLastError() != ERROR_ENVVAR_NOT_FOUND;
        if (length < room) {
            buffer.resize(length);
            value = buffer;
            return true;
        }
        room = length;
    }
    return false;
}

bool Utf8BetaDisabled() {
    static const bool disabled = [] {
        std::wstring value;
        return ReadVariable(L"ZYNSysNLSCoreWinBetaUtf8_Disable", value);
    }();
    return disabled;
}

// Copies text cut to size - 1 bytes, always terminated.
void CopyCut(char* buffer, std::size_t size, const std::string& text) {
    const std::size_t length = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
}

std::string BeforeLastPoint(const std::string& text) {
    const std::size_t point = text.rfind('.');
    return point == std::string::npos ? text : text.substr(0, point);
}

// The first ".": what follows it, or nothing when there is none.
bool AfterFirstPoint(const std::string& text, std::string& codePage) {
    const std::size_t point = text.find('.');
    codePage = point == std::string::npos ? std::string() : text.substr(point + 1);
    return point != std::string::npos;
}

// An empty name would be the invariant locale: a name that did not resolve has no information.
std::wstring LocaleInfo(const wchar_t* locale, LCTYPE type, int room) {
    if (!locale || !*locale) return std::wstring();
    std::wstring out(static_cast<std::size_t>(room), L'\0');
    const int units = ::GetLocaleInfoEx(locale, type, &out[0], room);
    if (units <= 0) return std::wstring();
    out.resize(static_cast<std::size_t>(units - 1));
    return out;
}

FilePtr FindSupplangFile() {
    struct Place {
        const char* variable;
        const wchar_t* suffix;
    };
    const Place places[] = {{"QORReffilesPath", L"\\NLS\\SUPPLANG_Q9"},
                            {"QORInstallPath", L"\\reffiles\\NLS\\SUPPLANG_Q9"},
                            {"ZYNSysNLSInstallPath", L""}};
    for (const Place& place : places) {
        QORInterUnicodeString folders;
        if (!GetEnvironmentPath(place.variable, &folders) || folders.IsEmpty()) continue;
        ZYNSysStringTokenizer pieces(folders, false);
        QORInterUnicodeString piece;
        bool found = false;
        for (pieces.Next(piece, L";", found); found; pieces.Next(piece, L";", found)) {
            if (piece.IsEmpty()) continue;
            std::wstring path = piece.CastToWCharStar();
            path += place.suffix;
            // Text mode: a CRLF file reads as plain lines.
            if (FILE* file = ::_wfopen(path.c_str(), L"rN")) return FilePtr(file);
        }
    }
    return nullptr;
}

std::unique_ptr<std::vector<ZYNSysSupplangRecord>> LoadTable() {
    FilePtr file = FindSupplangFile();
    if (!file) {
        static std::atomic<bool> told{false};
        if (!told.exchange(true)) {
            QORInterUnicodeString environment;
            // A string whose memory ran out has no UTF-16 form.
            const wchar_t* name =
                GetEnvironmentPath("QORDefaultEnvironment", &environment) ? environment.CastToWCharStar() : nullptr;
            const bool zint = name && std::wcscmp(name, L"ZintEnvironment") == 0;
            if (!zint)
                ZYNSysNLS::Trace(stderr,
                                 "ZYNSysNLSCore failed to open SUPPLANG_Q9 file. You may regenerate your runtime "
                                 "view to fix this issue (zint/zelt/reinstall).");
        }
        return nullptr;
    }
    std::unique_ptr<std::vector<ZYNSysSupplangRecord>> table(new std::vector<ZYNSysSupplangRecord>);
    char line[512];
    bool begun = false;
    while (std::fgets(line, sizeof line, file.get())) {
        if (!begun) {
            begun = std::strstr(line, "*BEGIN*") != nullptr;
            continue;
        }
        if (std::strstr(line, "*END*")) break;
        std::string columns[4];
        int column = 0;
        const char* p = line;
        while (column < 4) {
            p += std::strspn(p, " \t\r\n");
            if (!*p) break;
            const std::size_t length = std::strcspn(p, " \t\r\n");
            columns[column++].assign(p, length);
            p += length;
        }
        if (column == 0) continue;
        table->push_back({columns[0], columns[1], columns[2], columns[3]});
    }
    if (!begun) ZYNSysNLS::Trace(stderr, "*BEGIN* OS section not found");
    return table;
}

// A user of the languages table for its lifetime: the first loads it, the last frees it.
class TableUser {
public:
    explicit TableUser(Settings& settings) : settings_(settings) {
        WriteGuard guard(settings_.lock);
        if (settings_.tableUsers++ == 0) {
            // Finding the file converts folder names: the converter must not start the settings on
            // this half-loaded table, so the thread counts as initialising while it loads.
            const DWORD previous = settings_.initializingThread.exchange(::GetCurrentThreadId());
            try {
                settings_.table = LoadTable();
            } catch (...) {
                settings_.table.reset();
            }
            settings_.initializingThread = previous;
        }
        table_ = settings_.table.get();
    }
    ~TableUser() {
        WriteGuard guard(settings_.lock);
        if (--settings_.tableUsers == 0) settings_.table.reset();
    }
    TableUser(const TableUser&) = delete;
    TableUser& operator=(const TableUser&) = delete;

    const std::vector<ZYNSysSupplangRecord>* Table() const { return table_ && !table_->empty() ? table_ : nullptr; }

private:
    Settings& settings_;
    const std::vector<ZYNSysSupplangRecord>* table_ = nullptr;
};

const ZYNSysSupplangRecord* ValidateEnvironment(const std::vector<ZYNSysSupplangRecord>& table,
                                                const std::string& langValue, const std::string& codePage) {
    for (const ZYNSysSupplangRecord& record : table)
        if (record.langString.find(langValue) != std::string::npos) return &record;
    if (langValue.find('.') != std::string::npos) {
        const std::string head = BeforeLastPoint(langValue);
        for (const ZYNSysSupplangRecord& record : table)
            if (record.langString.compare(0, head.size(), head) == 0) return &record;
    }
    ZYNSysNLS::Trace(stderr,
                     "[ZYNSysNLS][WARNING] Failed to validate environment settings => Falling back to default locale "
                     "settings");
    const ZYNSysSupplangRecord* english = nullptr;
    for (const ZYNSysSupplangRecord& record : table) {
        if (record.language != "English") continue;
        if (record.codePage == codePage) return &record;
        if (!english) english = &record;
    }
    return english;
}

void ApplyCLocale(Settings& s, const char* name) {
    s.cLocaleName = name ? name : "";
    s.maxCharSize = 1;
    if (name) {
        ZYNSysCLocale::SetPerThread(true);
        LConv conventions;
        ZYNSysCLocale::ThreadLC(conventions);
        const wchar_t* point = conventions.DecimalPoint();
        if (point && *point) s.decimalPoint = point;
        s.maxCharSize = static_cast<std::uint32_t>(MB_CUR_MAX);
        // The C++ runtime here knows no named locale but "C" and throws for the others.
        try {
            s.standardLocale = std::locale(name);
        } catch (...) {
            s.standardLocale = std::locale::classic();
        }
    }
    if (s.codePage == "UTF-8" || s.codePage == "65001") s.maxCharSize = 4;
}

void FillEntry(const Settings& s, ZYNSysNLSEntry& entry) {
    std::memset(&entry, 0, sizeof entry);
    ZYNSysNLSCopyField(entry.language, s.language.c_str());
    ZYNSysNLSCopyField(entry.secondName, s.secondName.c_str());
    ZYNSysNLSCopyField(entry.langString, s.langString.c_str());
    ZYNSysNLSCopyField(entry.codePage, s.codePage.c_str());
    const std::size_t room = sizeof entry.decimalPoint / sizeof entry.decimalPoint[0];
    if (s.decimalPoint.size() < room) std::wmemcpy(entry.decimalPoint, s.decimalPoint.c_str(), s.decimalPoint.size() + 1);
    entry.maxCharSize = s.maxCharSize;
}

// Runs under the write lock; false leaves the settings pending.
bool Initialize(Settings& s, const char* language) {
    const ZYNSysLangVariable variable = ZYNSysNLS::ReadLangVariable();
    s.langValue = variable.langValue;
    s.codePage = variable.codePage;
    s.currentFormat = variable.currentFormat;
    s.langString = variable.langValue;
    ZYNSysNLS::Trace(stdout, "[ZYNSysNLS][INFO] LANG variable: \"%s\"", s.langValue.c_str());

    TableUser user(s);
    const std::vector<ZYNSysSupplangRecord>* table = user.Table();
    if (!table) return false;
    const ZYNSysSupplangRecord* record = nullptr;
    if (language)
        for (const ZYNSysSupplangRecord& candidate : *table)
            if (candidate.language == language) {
                record = &candidate;
                break;
            }
    if (!record) record = ValidateEnvironment(*table, s.langValue, variable.codePage);
    if (!record) return false;

    ZYNSysNLS::Trace(stdout, "[ZYNSysNLS][INFO] Lang string (in config file format): \"%s\"",
                     record->langString.c_str());
    const std::string translated = ZYNSysNLS::TranslateLangString(record->langString);
    bool set = false;
    std::string accepted;
    std::string cut;
    bool fellBack = false;
    int multibyte = 0;
    ZYNSysCLocale::ChangeGlobal([&] {
        const char* name = std::setlocale(LC_ALL, translated.c_str());
        if (!name) {
            const std::size_t point = translated.rfind('.');
            const std::string rest = point == std::string::npos ? translated : translated.substr(0, point);
            cut = point == std::string::npos ? std::string() : translated.substr(point + 1);
            if (rest.empty()) std::setlocale(LC_ALL, "en-US");
            name = std::setlocale(LC_ALL, rest.c_str());
            fellBack = name != nullptr;
        }
        set = name != nullptr;
        if (name) accepted = name;
        if (set && !record->codePage.empty()) {
            char* end = nullptr;
            const long number =
                record->codePage == "UTF-8" ? 65001 : std::strtol(record->codePage.c_str(), &end, 10);
            const bool isNumber =
                record->codePage == "UTF-8" || (end && *end == '\0' && end != record->codePage.c_str());
            if (isNumber && number > 0 && number <= INT_MAX && _setmbcp(static_cast<int>(number)) == 0)
                multibyte = static_cast<int>(number);
        }
    });
    if (fellBack)
        ZYNSysNLS::Trace(stdout, "[ZYNSysNLS][INFO] libC setlocale: code page \"%s\" not supported!", cut.c_str());
    if (multibyte) ZYNSysNLS::Trace(stdout, "[ZYNSysNLS][INFO] CRT Multibyte code page set to: %d", multibyte);
    ZYNSysNLS::Trace(stdout, "[ZYNSysNLS][INFO] Locale string (translated): \"%s\"", translated.c_str());
    if (set) ZYNSysNLS::Trace(stdout, "[ZYNSysNLS][INFO] libC setlocale success: \"%s\"", accepted.c_str());

    s.language = record->language;
    s.secondName = record->secondName;
    s.langString = record->langString;
    s.codePage = record->codePage;
    s.windowsLocaleName = ZYNSysNLS::ResolveLocaleName(record->langString.c_str());
    ApplyCLocale(s, set ? accepted.c_str() : nullptr);
    s.tableCopy = *table;

    s.pending = false;
    ZYNSysNLSEntry entry;
    FillEntry(s, entry);
    for (ZYNSysNLSListener listener : s.listeners)
        if (listener) listener(&entry);
    return true;
}

bool Matches(const ZYNSysSupplangRecord& model, const ZYNSysSupplangRecord& record) {
    if (!model.language.empty() && record.language != model.language) return false;
    if (!model.langString.empty() && model.langString.find(record.langString) == std::string::npos) return false;
    if (!model.codePage.empty() && record.codePage != model.codePage) return false;
    return true;
}

class SettingsProvider final : public ZYNSysNLSProvider {
public:
    HRESULT GetSettings(ZYNSysNLSEntry* entry) override { return ZYNSysNLS::GetSettings(entry); }
    HRESULT AddListener(ZYNSysNLSListener listener) override { return ZYNSysNLS::AddListener(listener); }
    bool TranslateLangToBuffer(const char* lang, char* buffer, std::size_t size) override {
        return ZYNSysNLS::TranslateLangToBuffer(lang, buffer, size);
    }
    bool IsInitializingOnCallingThread() override { return ZYNSysNLS::IsInitializingOnCallingThread(); }
};

}  // namespace

int ZYNSysNLS::EnsureInitialized(const char* language, bool force) {
    try {
        Settings& s = TheSettings();
        const bool named = language && *language;
        const bool nested = IsInitializingOnCallingThread();
        // A thread that waited for another's initialisation finds the work done when it checks again.
        const auto done = [&] { return !force && !s.pending && (!named || s.language == language); };
        if (!nested) {
            ReadGuard guard(s.lock);
            if (done()) return 1;
        }
        WriteGuard guard(s.lock);
        if (++s.reentry > 1) {
            --s.reentry;
            return 2;
        }
        int result = 1;
        if (!done()) {
            s.pending = true;
            s.initializingThread = ::GetCurrentThreadId();
            try {
                result = Initialize(s, named ? language : nullptr) ? 4 : 0;
            } catch (...) {
                result = 0;
            }
            s.initializingThread = 0;
        }
        if (--s.reentry < 0) ZYNDebugBreak(1);
        return result;
    } catch (...) {
        return 0;
    }
}

void ZYNSysNLS::EnsureInitializedEntry() { EnsureInitialized(nullptr, false); }

HRESULT ZYNSysNLS::GetSettings(ZYNSysNLSEntry* entry) {
    if (!entry) return E_INVALIDARG;
    EnsureInitialized(nullptr, false);
    Settings& s = TheSettings();
    ReadGuard guard(s.lock);
    FillEntry(s, *entry);
    return 0;
}

std::uint32_t ZYNSysNLS::GetMaxCharSize() {
    EnsureInitialized(nullptr, false);
    Settings& s = TheSettings();
    ReadGuard guard(s.lock);
    return s.maxCharSize;
}

void ZYNSysNLS::GetLocaleName(char* buffer, std::size_t size) {
    if (!buffer || size == 0) return;
    EnsureInitialized(nullptr, false);
    Settings& s = TheSettings();
    ReadGuard guard(s.lock);
    // The runtime's names of mixed locales run past any fixed room.
    CopyCut(buffer, size, s.cLocaleName);
}

std::string ZYNSysNLS::FullLocaleName() {
    try {
        EnsureInitialized(nullptr, false);
        Settings& s = TheSettings();
        ReadGuard guard(s.lock);
        return s.cLocaleName;
    } catch (...) {
        return std::string();
    }
}

HRESULT ZYNSysNLS::AddListener(ZYNSysNLSListener listener) {
    if (!listener) return E_INVALIDARG;
    Settings& s = TheSettings();
    WriteGuard guard(s.lock);
    for (ZYNSysNLSListener present : s.listeners)
        if (present == listener) return 1;
    for (ZYNSysNLSListener& slot : s.listeners)
        if (!slot) {
            slot = listener;
            return 0;
        }
    return E_FAIL;
}

bool ZYNSysNLS::TranslateLangToBuffer(const char* lang, char* buffer, std::size_t size) {
    if (!lang || !buffer || size == 0) return false;
    try {
        EnsureInitialized(nullptr, false);
        CopyCut(buffer, size, TranslateLangString(lang));
        return true;
    } catch (...) {
        return false;
    }
}

HRESULT ZYNSysNLS::QuerySupplang(const void* query, int mode, int* count,
                                 std::unique_ptr<ZYNSysSupplangList>* list) {
    if (mode > 1 || mode < 0) return E_INVALIDARG;
    if (!query) return mode == 0 ? E_FAIL : E_INVALIDARG;
    const auto* predicate = static_cast<const ZYNSysSupplangPredicate*>(query);
    if (mode == 1 && !predicate->match) return E_INVALIDARG;
    try {
        TableUser user(TheSettings());
        const std::vector<ZYNSysSupplangRecord>* table = user.Table();
        if (!table) return E_UNEXPECTED;
        const std::size_t most = count && *count > 0 ? static_cast<std::size_t>(*count) : 0;
        std::unique_ptr<ZYNSysSupplangList> found(new ZYNSysSupplangList);
        int matches = 0;
        for (const ZYNSysSupplangRecord& record : *table) {
            const bool match = mode == 0 ? Matches(*static_cast<const ZYNSysSupplangRecord*>(query), record)
                                         : predicate->match(record, predicate->argument);
            if (!match) continue;
            ++matches;
            if (found->size() < most) found->push_back(record);
        }
        if (count) *count = matches;
        if (list) *list = std::move(found);
        return 0;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

ZYNSysLangVariable ZYNSysNLS::ReadLangVariable() {
    ZYNSysLangVariable out;
    std::wstring lang;
    const bool langSet = ReadVariable(L"LANG", lang);
    wchar_t user[85] = {};
    if (::GetUserDefaultLocaleName(user, 85) <= 0) user[0] = L'\0';
    std::wstring isoLanguage, isoCountry;
    if (user[0]) {
        isoLanguage = LocaleInfo(user, LOCALE_SISO639LANGNAME, 9);
        isoCountry = LocaleInfo(user, LOCALE_SISO3166CTRYNAME, 9);
    }
    const std::string formatCodePage =
        ::GetACP() == 65001 && !Utf8BetaDisabled() ? std::string("UTF-8") : ToUtf8(GetLocaleAnsiCodePage(user).c_str());
    out.currentFormat = ToUtf8(isoLanguage.c_str()) + "_" + ToUtf8(isoCountry.c_str()) + "." + formatCodePage;

    const std::string langText = ToUtf8(lang.c_str());
    if (!langSet)
        out.langValue = out.currentFormat;
    else if (!langText.empty() && langText[0] == '.')
        out.langValue = out.currentFormat.substr(0, out.currentFormat.find('.')) + langText;
    else
        out.langValue = langText;

    if (!AfterFirstPoint(out.langValue, out.codePage)) {
        const std::wstring locale = ResolveLocaleName(out.langValue.c_str());
        if (!locale.empty()) out.codePage = ToUtf8(GetLocaleAnsiCodePage(locale.c_str()).c_str());
    }
    if (out.codePage.empty()) out.codePage = "UTF-8";
    return out;
}

std::wstring ZYNSysNLS::ResolveLocaleName(const char* name) {
    using Resolve = int(WINAPI*)(const wchar_t*, wchar_t*, int);
    static const Resolve resolve = reinterpret_cast<Resolve>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "ResolveLocaleName")));
    if (!name || !resolve) return std::wstring();
    std::wstring wide = ToWide(name);
    for (wchar_t& unit : wide)
        if (unit == L'_') unit = L'-';
    const std::size_t point = wide.find(L'.');
    if (point != std::wstring::npos) wide.resize(point);
    wchar_t resolved[85] = {};
    // The error of a call that "resolves" to nothing is whatever an earlier call left.
    ::SetLastError(ERROR_SUCCESS);
    const int units = resolve(wide.c_str(), resolved, 85);
    // An unknown name may "resolve" to nothing; that is a failure too.
    if (units <= 1 || resolved[0] == L'\0') {
        ZYNSysNLS::Trace(stderr, "Invalid locale name: %s | hr: 0x%x", name, static_cast<unsigned>(::GetLastError()));
        return std::wstring();
    }
    return resolved;
}

std::wstring ZYNSysNLS::GetLocaleAnsiCodePage(const wchar_t* locale) {
    wchar_t codePage[6] = {};
    if (::GetLocaleInfoEx(locale, LOCALE_IDEFAULTANSICODEPAGE, codePage, 6) <= 0) {
        ZYNSysNLS::Trace(stderr, "GetLocaleInfoEx(LOCALE_IDEFAULTANSICODEPAGE) failed with error: %d",
                         static_cast<int>(::GetLastError()));
        return std::wstring();
    }
    return codePage;
}

std::string ZYNSysNLS::TranslateLangString(const std::string& lang) {
    if (lang.empty()) return std::string();
    std::string format;
    {
        Settings& s = TheSettings();
        ReadGuard guard(s.lock);
        format = s.currentFormat;
    }
    std::string codePage;
    const bool hasCodePage = AfterFirstPoint(lang, codePage);
    std::wstring result;
    if (BeforeLastPoint(lang) == BeforeLastPoint(format)) {
        // The runtime then takes the user's own locale with the user's changes to it.
        if (hasCodePage) result = L"." + ToWide(codePage);
    } else {
        ZYNSysNLS::Trace(stdout,
                         "[ZYNSysNLS][INFO] Regarding Windows \"Region and Language\": user settings (such as decimal "
                         "point) will be ignored since the Lang string (\"%s\") does not match the current Format "
                         "(\"%s\")!",
                         lang.c_str(), format.c_str());
        const std::wstring locale = ResolveLocaleName(lang.c_str());
        result = LocaleInfo(locale.c_str(), LOCALE_SABBREVLANGNAME, 10) + L"_" +
                 LocaleInfo(locale.c_str(), LOCALE_SABBREVCTRYNAME, 10);
        if (hasCodePage) result += L"." + ToWide(codePage);
    }
    if (result.size() > 38) result.resize(38);
    if (result.empty()) return std::string();
    char narrow[kTranslatedRoom] = {};
    const int bytes = ::WideCharToMultiByte(CP_ACP, 0, result.c_str(), static_cast<int>(result.size()), narrow,
                                            static_cast<int>(kTranslatedRoom - 1), nullptr, nullptr);
    return std::string(narrow, bytes > 0 ? static_cast<std::size_t>(bytes) : 0);
}

bool ZYNSysNLS::IsInitializingOnCallingThread() {
    return TheSettings().initializingThread.load() == ::GetCurrentThreadId();
}

void ZYNSysNLS::Trace(FILE* stream, const char* format, ...) {
    static const bool on = GetEnvironmentPath("ZYNSysNLSCoreTrace", nullptr) == 1;
    if (!on || !stream || !format) return;
    std::fprintf(stream, "[PID:%lu]", static_cast<unsigned long>(::GetCurrentProcessId()));
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stream, format, arguments);
    va_end(arguments);
    std::fputc('\n', stream);
    std::fflush(stream);
}

bool ZYNSysNLSProbe::IsPending() {
    Settings& s = TheSettings();
    ReadGuard guard(s.lock);
    return s.pending;
}

std::string ZYNSysNLSProbe::LangValue() {
    Settings& s = TheSettings();
    ReadGuard guard(s.lock);
    return s.langValue;
}

int ZYNSysNLSProbe::TableUsers() {
    Settings& s = TheSettings();
    ReadGuard guard(s.lock);
    return s.tableUsers;
}

bool ZYNSysNLSProbe::HasStandardLocale() {
    Settings& s = TheSettings();
    ReadGuard guard(s.lock);
    return s.standardLocale.name() != "C";
}

ZYNSysNLSProvider& ZYNSysNLSSettingsProvider() { return Immortal<SettingsProvider>(); }
