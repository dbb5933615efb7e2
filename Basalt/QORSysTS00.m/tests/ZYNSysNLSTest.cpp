#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "QORInterUnicodeString.h"
#include "TestFolder.h"
#include "ZYNSysCLocale.h"
#include "ZYNSysCodePage.h"
#include "ZYNSysContext.h"
#include "ZYNSysContextData.h"
#include "ZYNSysEnvironment.h"
#include "ZYNSysNLS.h"
#include "ZYNSysStringTokenizer.h"

namespace {

using Env = std::vector<ChildProcess::EnvironmentChange>;

// The child's output without carriage returns, its process ids as "[PID]".
std::string Output(const ChildProcess::Result& result) {
    return std::regex_replace(ChildProcess::TextOutput(result), std::regex("\\[PID:[0-9]+\\]"), "[PID]");
}

std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; text && *text; ++text) {
        char unit[8];
        if (*text >= 32 && *text < 127)
            out += static_cast<char>(*text);
        else
            std::snprintf(unit, sizeof unit, "\\x%X", static_cast<unsigned>(*text));
        if (*text < 32 || *text >= 127) out += unit;
    }
    return out;
}

std::optional<std::wstring> Value(const wchar_t* text) {
    return text ? std::optional<std::wstring>(text) : std::nullopt;
}

// A languages file in <folder>\NLS, found through "QORReffilesPath".
class LanguagesFile {
public:
    explicit LanguagesFile(const char* content) {
        if (!content) return;
        ::CreateDirectoryW(folder_.In(L"NLS").c_str(), nullptr);
        std::ofstream(folder_.Utf8In("NLS\\SUPPLANG_Q9"), std::ios::binary) << content;
        present_ = true;
    }
    std::wstring Folder() const { return folder_.Path(); }
    // Every place the settings look for the file set or cleared, the trace on.
    Env Environment(const wchar_t* lang) const {
        return {{L"LANG", Value(lang)},
                {L"QORReffilesPath", present_ ? Value(folder_.Path().c_str()) : std::nullopt},
                {L"QORInstallPath", std::nullopt},
                {L"ZYNSysNLSInstallPath", std::nullopt},
                {L"QORDefaultEnvironment", std::nullopt},
                {L"ZYNSysNLSCoreTrace", std::wstring(L"1")}};
    }

private:
    TestFolder folder_;
    bool present_ = false;
};

const char kFile[] =
    "Supported languages\r\n*BEGIN*\r\n"
    "French fr fr_FR 1252\r\n"
    "English en en_US 1252\r\n"
    "Japanese ja ja_JP 932\r\n"
    "English en-utf8 en_GB UTF-8\r\n"
    "*END*\r\n"
    "German de de_DE 1252\r\n";

bool UserLocaleIsEnUs1252() {
    wchar_t name[85] = {};
    return ::GetUserDefaultLocaleName(name, 85) > 0 && std::wcscmp(name, L"en-US") == 0 && ::GetACP() == 1252;
}

void PrintSettings() {
    ZYNSysNLSEntry entry;
    ZYNSysNLS::GetSettings(&entry);
    std::printf("record \"%s\" \"%s\" \"%s\" \"%s\" \"%s\" %u, pending %d\n", entry.language, entry.secondName,
                entry.langString, entry.codePage, Narrow(entry.decimalPoint).c_str(), entry.maxCharSize,
                ZYNSysNLSProbe::IsPending() ? 1 : 0);
}

VAROMET_CHILD_CASE(NLSInitialize) {
    const int result = ZYNSysNLS::EnsureInitialized(nullptr, false);
    std::printf("init %d, LANG value \"%s\"\n", result, ZYNSysNLSProbe::LangValue().c_str());
    PrintSettings();
    QORInterUnicodeString text;
    text.BuildFromWide(L"ok");
    std::fflush(stdout);
    std::printf("converter %s, %s\n", ZYNSysCodePage::GetCurrent()->GetName(), text.CastToCharStar());
    return 0;
}

std::atomic<int> g_listenerCalls{0};

// Converts and asks for the settings again while they initialise.
void ConvertingListener(const ZYNSysNLSEntry* entry) {
    ++g_listenerCalls;
    QORInterUnicodeString text;
    text.BuildFromWide(L"during");
    std::printf("listener \"%s\": %s through %s, nested %d\n", entry->codePage, text.CastToCharStar(),
                ZYNSysCodePage::GetCurrent()->GetName(), ZYNSysNLS::EnsureInitialized(nullptr, false));
}

VAROMET_CHILD_CASE(NLSListener) {
    ZYNSysNLS::AddListener(&ConvertingListener);
    std::printf("init %d\n", ZYNSysNLS::EnsureInitialized(nullptr, false));
    std::printf("after: %s, listener calls %d\n", ZYNSysCodePage::GetCurrent()->GetName(), g_listenerCalls.load());
    return 0;
}

void CountingListener(const ZYNSysNLSEntry*) { ++g_listenerCalls; }

// Rounds of eight threads asking at once for a language other than the current one.
VAROMET_CHILD_CASE(NLSEightThreads) {
    ZYNSysNLS::AddListener(&CountingListener);
    const char* languages[] = {"Japanese", "French"};
    int extra = 0;
    int answered4 = 0;
    for (int round = 0; round < 20; ++round) {
        const int before = g_listenerCalls;
        std::atomic<int> ready{0};
        std::atomic<int> fours{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&] {
                ++ready;
                while (ready < 8) std::this_thread::yield();
                if (ZYNSysNLS::EnsureInitialized(languages[round % 2], false) == 4) ++fours;
            });
        for (std::thread& thread : threads) thread.join();
        extra += g_listenerCalls - before - 1;
        answered4 += fours;
    }
    std::printf("repeated initialisations %d, answered 4: %d\n", extra, answered4);
    return 0;
}

VAROMET_CHILD_CASE(NLSByName) {
    std::printf("first %d, ", ZYNSysNLS::EnsureInitialized(nullptr, false));
    std::printf("Japanese %d, ", ZYNSysNLS::EnsureInitialized("Japanese", false));
    std::printf("again %d, ", ZYNSysNLS::EnsureInitialized("Japanese", false));
    std::printf("unknown %d\n", ZYNSysNLS::EnsureInitialized("Klingon", false));
    PrintSettings();
    return 0;
}

VAROMET_CHILD_CASE(NLSLocaleRoom) {
    std::printf("init %d, standard locale %s\n", ZYNSysNLS::EnsureInitialized(nullptr, false),
                ZYNSysNLSProbe::HasStandardLocale() ? "named" : "classic");
    char name[ZYNSysNLS::kLocaleNameRoom + 8];
    std::memset(name, '#', sizeof name);
    ZYNSysNLS::GetLocaleName(name, ZYNSysNLS::kLocaleNameRoom);
    char translated[9];
    std::memset(translated, '#', sizeof translated);
    const bool done = ZYNSysNLS::TranslateLangToBuffer("fr_FR.1252", translated, 6);
    std::printf("name %u bytes, guard %s; translated %d \"%s\", guard %s\n", static_cast<unsigned>(std::strlen(name)),
                name[ZYNSysNLS::kLocaleNameRoom] == '#' ? "kept" : "overrun", done ? 1 : 0, translated,
                translated[6] == '#' ? "kept" : "overrun");
    return 0;
}

bool IsJapanese(const ZYNSysSupplangRecord& record, void* calls) {
    ++*static_cast<int*>(calls);
    return record.codePage == "932";
}

std::string Listed(HRESULT result, int count, const std::unique_ptr<ZYNSysSupplangList>& list) {
    char head[48];
    std::snprintf(head, sizeof head, "0x%lX %d:", static_cast<unsigned long>(result), count);
    std::string out = head;
    if (list)
        for (const ZYNSysSupplangRecord& r : *list)
            out += " [" + r.language + "|" + r.secondName + "|" + r.langString + "|" + r.codePage + "]";
    return out;
}

VAROMET_CHILD_CASE(NLSQuery) {
    struct Case {
        const char* name;
        int mode;
        const char* language;
        const char* langString;
        const char* codePage;
        int most;
    };
    const Case cases[] = {
        {"all", 0, "", "", "", 9},          {"English", 0, "English", "", "", 9},
        {"inside", 0, "", "xx_en_GB.UTF-8", "", 9}, {"UTF-8", 0, "", "", "UTF-8", 9},
        {"first only", 0, "", "", "", 1},   {"mode 2", 2, "", "", "", 9},
    };
    for (const Case& c : cases) {
        ZYNSysSupplangRecord model{c.language, "", c.langString, c.codePage};
        int count = c.most;
        std::unique_ptr<ZYNSysSupplangList> list;
        const HRESULT result = ZYNSysNLS::QuerySupplang(&model, c.mode, &count, &list);
        std::printf("%s: %s\n", c.name, Listed(result, count, list).c_str());
    }
    int calls = 0;
    ZYNSysSupplangPredicate predicate{&IsJapanese, &calls};
    int count = 9;
    std::unique_ptr<ZYNSysSupplangList> list;
    const HRESULT result = ZYNSysNLS::QuerySupplang(&predicate, 1, &count, &list);
    std::printf("predicate: %s, calls %d\n", Listed(result, count, list).c_str(), calls);
    std::printf("null template: 0x%lX, table users %d\n",
                static_cast<unsigned long>(ZYNSysNLS::QuerySupplang(nullptr, 0, &count, &list)),
                ZYNSysNLSProbe::TableUsers());
    return 0;
}

void L1(const ZYNSysNLSEntry*) {}
void L2(const ZYNSysNLSEntry*) {}
void L3(const ZYNSysNLSEntry*) {}
void L4(const ZYNSysNLSEntry*) {}
void L5(const ZYNSysNLSEntry*) {}

VAROMET_CHILD_CASE(NLSAddListener) {
    const ZYNSysNLSListener listeners[] = {nullptr, &L1, &L1, &L2, &L3, &L4, &L5, &L2};
    for (ZYNSysNLSListener listener : listeners)
        std::printf("0x%lX ", static_cast<unsigned long>(ZYNSysNLS::AddListener(listener)));
    std::printf("\n");
    return 0;
}

// Puts the entries of "NLSTestContext" ("name=value" joined by '|') in the main context.
void FillMainContextFromTestVariable() {
    wchar_t wide[1024] = {};
    ::GetEnvironmentVariableW(L"NLSTestContext", wide, 1024);
    std::vector<std::string> entries(1);
    for (const wchar_t* p = wide; *p; ++p) {
        if (*p == L'|')
            entries.emplace_back();
        else
            entries.back() += static_cast<char>(*p);
    }
    std::vector<const char*> array;
    for (const std::string& entry : entries) array.push_back(entry.c_str());
    array.push_back(nullptr);
    ZYNSysContext* main = nullptr;
    ZYNSysGetContextManager()->GetMainContext(&main);
    main->GetData()->SetArray(0, array.data());
}

// Asks for the languages table before any conversion, then initialises.
VAROMET_CHILD_CASE(NLSQueryWithContext) {
    FillMainContextFromTestVariable();
    ZYNSysSupplangRecord all{"", "", "", ""};
    int count = 9;
    const HRESULT query = ZYNSysNLS::QuerySupplang(&all, 0, &count, nullptr);
    std::printf("query 0x%lX %d, pending %d\n", static_cast<unsigned long>(query), count,
                ZYNSysNLSProbe::IsPending() ? 1 : 0);
    const int result = ZYNSysNLS::EnsureInitialized(nullptr, false);
    std::printf("init %d, pending %d\n", result, ZYNSysNLSProbe::IsPending() ? 1 : 0);
    return 0;
}

VAROMET_CHILD_CASE(NLSTrace) {
    FillMainContextFromTestVariable();
    ZYNSysNLS::Trace(stdout, "value %d of %s", 7, "eight");
    std::printf("end\n");
    return 0;
}

VAROMET_CHILD_CASE(EnvironmentLookup) {
    ZYNSysContext* main = nullptr;
    ZYNSysGetContextManager()->GetMainContext(&main);
    const char* entries[] = {"FromContext=context value", "QORReffilesPath=context folder", "InBoth=main value",
                             nullptr};
    main->GetData()->SetArray(0, entries);
    // The thread's current context is asked before the main one.
    static ZYNSysContext current("Current");
    const char* currentEntries[] = {"InBoth=current value", nullptr};
    current.GetData()->SetArray(0, currentEntries);
    ZYNSysContextSetCurrentContext(&current);
    wchar_t program[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    const std::wstring programPath = program;
    const char* names[] = {"LongVariable", "QORReffilesPath", "FromContext", "InBoth", "Missing", "QORInstallPath"};
    for (const char* name : names) {
        QORInterUnicodeString value;
        const int found = GetEnvironmentPath(name, &value);
        const std::wstring text = value.IsEmpty() ? L"" : value.CastToWCharStar();
        if (std::strcmp(name, "QORInstallPath") == 0) {
            // The program sits three folders below the answer.
            const bool above = !text.empty() && programPath.compare(0, text.size(), text) == 0 &&
                               std::count(programPath.begin() + text.size(), programPath.end(), L'\\') == 3;
            std::printf("%s %d %s\n", name, found, above ? "three levels up" : Narrow(text.c_str()).c_str());
        } else {
            std::printf("%s %d %u %s\n", name, found, static_cast<unsigned>(text.size()),
                        Narrow(text.substr(0, 16).c_str()).c_str());
        }
    }
    return 0;
}

std::size_t InstallFolderUnits() {
    QORInterUnicodeString value;
    GetEnvironmentPath("QORInstallPath", &value);
    const wchar_t* units = value.IsEmpty() ? nullptr : value.CastToWCharStar();
    return units ? std::wcslen(units) : 0;
}

std::size_t g_installFolderUnits = 0;

// Registered before the folder is first computed, so it runs after anything freed at exit.
void ReadInstallFolderAtExit() {
    std::printf("at exit %s\n", InstallFolderUnits() == g_installFolderUnits ? "the same folder" : "another folder");
    std::fflush(stdout);
}

VAROMET_CHILD_CASE(InstallFolderAtExit) {
    std::atexit(&ReadInstallFolderAtExit);
    g_installFolderUnits = InstallFolderUnits();
    std::printf("first %s\n", g_installFolderUnits > 0 ? "found" : "empty");
    return 0;
}

VAROMET_CHILD_CASE(ThreadConventions) {
    std::printf("per-thread %d, ", ZYNSysCLocale::SetPerThread(true));
    std::setlocale(LC_ALL, "FRA_FRA.1252");
    LConv conventions;
    ZYNSysCLocale::ThreadLC(conventions);
    int filled = 0;
    for (int slot = 0; slot < LConv::kSlotCount; ++slot) filled += conventions.GetSlot(slot) ? 1 : 0;
    std::printf("slots %d of %d: point \"%s\" thousands \"%s\" currency \"%s\" grouping \"%s\" sign position \"%s\"\n",
                filled, LConv::kSlotCount, Narrow(conventions.GetSlot(0)).c_str(),
                Narrow(conventions.GetSlot(2)).c_str(), Narrow(conventions.GetSlot(4)).c_str(),
                Narrow(conventions.GetSlot(1)).c_str(), Narrow(conventions.GetSlot(16)).c_str());
    // A slot that no longer fits the inline buffer goes to the heap; a reset frees it.
    const std::wstring long200(200, L'x');
    conventions.SetSlot(20, long200.c_str());
    conventions.SetSlot(21, long200.c_str());
    std::printf("inline %d heap %d, ", conventions.IsOnHeap(20) ? 0 : 1, conventions.IsOnHeap(21) ? 1 : 0);
    conventions.Reset();
    std::printf("after reset used %u heap %d\n", static_cast<unsigned>(conventions.InlineUnitsUsed()),
                conventions.IsOnHeap(21) ? 1 : 0);
    conventions._ReInitDecimalPoint();
    std::printf("decimal point from formatting \"%s\"\n", Narrow(conventions.DecimalPoint()).c_str());
    return 0;
}

// A conversion from a static initialiser, before main, already goes through the settings.
const char* g_earlyConverter = [] {
    if (!std::wcsstr(::GetCommandLineW(), L"NLSStaticInitialiser")) return "";
    QORInterUnicodeString text;
    text.BuildFromWide(L"early");
    text.CastToCharStar();
    return ZYNSysCodePage::GetCurrent()->GetName();
}();

VAROMET_CHILD_CASE(NLSStaticInitialiser) {
    std::printf("converter %s, pending %d\n", g_earlyConverter, ZYNSysNLSProbe::IsPending() ? 1 : 0);
    return 0;
}

}  // namespace

TEST(ZYNSysNLS, LangValueAndCodePageComeFromLangOrTheUserLocaleEvenWithoutLanguagesFile) {
    if (!UserLocaleIsEnUs1252()) GTEST_SKIP() << "the expectations assume an en-US user with code page 1252";
    struct Case {
        const wchar_t* lang;
        std::string expected;
    };
    const Case cases[] = {
        {nullptr, "init 0, LANG value \"en_US.1252\"\nrecord \"English\" \"\" \"en_US.1252\" \"1252\" \".\" 1, pending 1\n"
                  "converter 1252, ok\n"},
        {L".1252", "init 0, LANG value \"en_US.1252\"\nrecord \"English\" \"\" \"en_US.1252\" \"1252\" \".\" 1, pending 1\n"
                   "converter 1252, ok\n"},
        {L"fr_FR", "init 0, LANG value \"fr_FR\"\nrecord \"English\" \"\" \"fr_FR\" \"1252\" \".\" 1, pending 1\n"
                   "converter 1252, ok\n"},
        {L"C.UTF-8", "init 0, LANG value \"C.UTF-8\"\nrecord \"English\" \"\" \"C.UTF-8\" \"UTF-8\" \".\" 1, pending 1\n"
                     "converter UTF-8, ok\n"},
        {L"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx.1252",
         "init 0, LANG value \"" + std::string(35, 'x') + ".1252\"\nrecord \"English\" \"\" \"\" \"1252\" \".\" 1, pending 1\n"
         "converter 1252, ok\n"},
        // A code page of 16 characters does not fit the record: the converter asserts and copies bytes.
        {L"en_US.ABCDEFGHIJKLMNOP",
         "init 0, LANG value \"en_US.ABCDEFGHIJKLMNOP\"\nrecord \"English\" \"\" \"en_US.ABCDEFGHIJKLMNOP\" \"\" \".\" 1, "
         "pending 1\nAssertion failed: l_NLSEntry.codePage && strcmp(l_NLSEntry.codePage, \"\"), file "
         "Basalt\\QORSysTS00.m\\src\\ZYNSysCodePage, line 143\nconverter Identity, ok\n"},
        {L"en_US.ABCDEFGHIJKLMNO",
         "init 0, LANG value \"en_US.ABCDEFGHIJKLMNO\"\nrecord \"English\" \"\" \"en_US.ABCDEFGHIJKLMNO\" "
         "\"ABCDEFGHIJKLMNO\" \".\" 1, pending 1\nconverter Identity, ok\n"},
    };
    const LanguagesFile none(nullptr);
    for (const Case& c : cases) {
        Env environment = none.Environment(c.lang);
        environment.back().value = std::nullopt;  // no trace: the lines are checked elsewhere
        const ChildProcess::Result result = ChildProcess::Run("NLSInitialize", environment);
        ASSERT_TRUE(result.started) << result.output;
        EXPECT_EQ(Output(result), c.expected) << (c.lang ? Narrow(c.lang) : "(unset)");
    }
}

TEST(ZYNSysNLS, LanguagesFileSelectsARecordAppliesItsLocaleAndTracesEachStep) {
    if (!UserLocaleIsEnUs1252()) GTEST_SKIP() << "the expectations assume an en-US user with code page 1252";
    const std::string mtUnsafe =
        "[PID][ZYNSysCLocale::ThreadLC][WARNING] MT-unsafe environment! GetLCConv is taking a global lock - Locale "
        "per-thread: false | MT-safe localeconv: false\n\n";
    const std::string fallback =
        "[PID][ZYNSysNLS][WARNING] Failed to validate environment settings => Falling back to default locale settings\n";
    const std::string french =
        "[PID][ZYNSysNLS][INFO] Regarding Windows \"Region and Language\": user settings (such as decimal point) will "
        "be ignored since the Lang string (\"fr_FR\") does not match the current Format (\"en_US.1252\")!\n";
    struct Case {
        const char* name;
        const char* file;
        const wchar_t* lang;
        std::string expected;
    };
    const Case cases[] = {
        {"user locale", kFile, nullptr,
         "[PID][ZYNSysNLS][INFO] LANG variable: \"en_US.1252\"\n"
         "[PID][ZYNSysNLS][INFO] Lang string (in config file format): \"en_US\"\n"
         "[PID][ZYNSysNLS][INFO] CRT Multibyte code page set to: 1252\n"
         "[PID][ZYNSysNLS][INFO] Locale string (translated): \"\"\n"
         "[PID][ZYNSysNLS][INFO] libC setlocale success: \"English_United States.1252\"\n" +
             mtUnsafe +
             "init 4, LANG value \"en_US.1252\"\nrecord \"English\" \"en\" \"en_US\" \"1252\" \".\" 1, pending 0\n"
             "converter 1252, ok\n"},
        {"another locale", kFile, L"fr_FR.1252",
         "[PID][ZYNSysNLS][INFO] LANG variable: \"fr_FR.1252\"\n"
         "[PID][ZYNSysNLS][INFO] Lang string (in config file format): \"fr_FR\"\n" +
             french +
             "[PID][ZYNSysNLS][INFO] CRT Multibyte code page set to: 1252\n"
             "[PID][ZYNSysNLS][INFO] Locale string (translated): \"FRA_FRA\"\n"
             "[PID][ZYNSysNLS][INFO] libC setlocale success: \"French_France.1252\"\n" +
             mtUnsafe +
             "init 4, LANG value \"fr_FR.1252\"\nrecord \"French\" \"fr\" \"fr_FR\" \"1252\" \",\" 1, pending 0\n" +
             french + "converter 1252, ok\n"},
        // No record for German (it follows "*END*"): the English one of LANG's code page.
        {"English of the code page", kFile, L"de_DE.UTF-8",
         "[PID][ZYNSysNLS][INFO] LANG variable: \"de_DE.UTF-8\"\n" + fallback +
             "[PID][ZYNSysNLS][INFO] Lang string (in config file format): \"en_GB\"\n"
             "[PID][ZYNSysNLS][INFO] Regarding Windows \"Region and Language\": user settings (such as decimal point) "
             "will be ignored since the Lang string (\"en_GB\") does not match the current Format (\"en_US.1252\")!\n"
             "[PID][ZYNSysNLS][INFO] CRT Multibyte code page set to: 65001\n"
             "[PID][ZYNSysNLS][INFO] Locale string (translated): \"ENG_GBR\"\n"
             "[PID][ZYNSysNLS][INFO] libC setlocale success: \"English_United Kingdom.1252\"\n" +
             mtUnsafe +
             "init 4, LANG value \"de_DE.UTF-8\"\nrecord \"English\" \"en-utf8\" \"en_GB\" \"UTF-8\" \".\" 4, "
             "pending 0\n[PID][ZYNSysNLS][INFO] Regarding Windows \"Region and Language\": user settings (such as "
             "decimal point) will be ignored since the Lang string (\"en_GB\") does not match the current Format "
             "(\"en_US.1252\")!\nconverter UTF-8, ok\n"},
        {"first English", "*BEGIN*\nFrench fr fr_FR 1252\nEnglish en en_US 1252\n", L"de_DE.932",
         "[PID][ZYNSysNLS][INFO] LANG variable: \"de_DE.932\"\n" + fallback +
             "[PID][ZYNSysNLS][INFO] Lang string (in config file format): \"en_US\"\n"
             "[PID][ZYNSysNLS][INFO] CRT Multibyte code page set to: 1252\n"
             "[PID][ZYNSysNLS][INFO] Locale string (translated): \"\"\n"
             "[PID][ZYNSysNLS][INFO] libC setlocale success: \"English_United States.1252\"\n" +
             mtUnsafe +
             "init 4, LANG value \"de_DE.932\"\nrecord \"English\" \"en\" \"en_US\" \"1252\" \".\" 1, pending 0\n"
             "converter 1252, ok\n"},
        {"no BEGIN", "French fr fr_FR 1252\n", L"fr_FR",
         "[PID][ZYNSysNLS][INFO] LANG variable: \"fr_FR\"\n[PID]*BEGIN* OS section not found\n"
         "init 0, LANG value \"fr_FR\"\n"
         "[PID][ZYNSysNLS][INFO] LANG variable: \"fr_FR\"\n[PID]*BEGIN* OS section not found\n"
         "record \"English\" \"\" \"fr_FR\" \"1252\" \".\" 1, pending 1\n"
         "[PID][ZYNSysNLS][INFO] LANG variable: \"fr_FR\"\n[PID]*BEGIN* OS section not found\n"
         "[PID][ZYNSysNLS][INFO] LANG variable: \"fr_FR\"\n[PID]*BEGIN* OS section not found\n" +
             french + "converter 1252, ok\n"},
        // Two tokens leave columns 3 and 4 empty; a 32-character column does not fit the record.
        {"short and long columns", "*BEGIN*\nTwo tokens\nEnglish abcdefghijabcdefghijabcdefghijab x_Y 1252\n",
         L"x_Y",
         "[PID]Invalid locale name: x_Y | hr: 0x0\n"
         "[PID][ZYNSysNLS][INFO] LANG variable: \"x_Y\"\n"
         "[PID][ZYNSysNLS][INFO] Lang string (in config file format): \"x_Y\"\n"
         "[PID][ZYNSysNLS][INFO] Regarding Windows \"Region and Language\": user settings (such as decimal point) "
         "will be ignored since the Lang string (\"x_Y\") does not match the current Format (\"en_US.1252\")!\n"
         "[PID]Invalid locale name: x_Y | hr: 0x0\n"
         "[PID][ZYNSysNLS][INFO] Locale string (translated): \"_\"\n"
         "[PID]Invalid locale name: x_Y | hr: 0x0\n"
         "init 4, LANG value \"x_Y\"\nrecord \"English\" \"\" \"x_Y\" \"1252\" \".\" 1, pending 0\n"
         "[PID][ZYNSysNLS][INFO] Regarding Windows \"Region and Language\": user settings (such as decimal point) "
         "will be ignored since the Lang string (\"x_Y\") does not match the current Format (\"en_US.1252\")!\n"
         "[PID]Invalid locale name: x_Y | hr: 0x0\nconverter 1252, ok\n"},
    };
    for (const Case& c : cases) {
        const LanguagesFile file(c.file);
        const ChildProcess::Result result = ChildProcess::Run("NLSInitialize", file.Environment(c.lang));
        ASSERT_TRUE(result.started) << result.output;
        EXPECT_EQ(Output(result), c.expected) << c.name;
    }
}

TEST(ZYNSysNLS, MissingLanguagesFileIsReportedOnceUnlessTheEnvironmentIsZint) {
    const std::string failed =
        "[PID]ZYNSysNLSCore failed to open SUPPLANG_Q9 file. You may regenerate your runtime view to fix this issue "
        "(zint/zelt/reinstall).\n";
    struct Case {
        const wchar_t* environment;
        std::string expected;
    };
    const Case cases[] = {{nullptr, failed}, {L"ZintEnvironment", ""}, {L"Other", failed}};
    const LanguagesFile none(nullptr);
    for (const Case& c : cases) {
        Env environment = none.Environment(L"fr_FR.1252");
        environment.push_back({L"QORDefaultEnvironment", Value(c.environment)});
        const std::string output = Output(ChildProcess::Run("NLSInitialize", environment));
        std::string reports;
        for (std::size_t at = output.find("[PID]ZYNSysNLSCore"); at != std::string::npos;
             at = output.find("[PID]ZYNSysNLSCore", at + 1))
            reports += output.substr(at, failed.size());
        EXPECT_EQ(reports, c.expected) << (c.environment ? Narrow(c.environment) : "(unset)");
    }
}

TEST(ZYNSysNLS, ConversionsDuringInitialisationUseTheBootstrapConverterAndANestedCallAnswers2) {
    const LanguagesFile file(kFile);
    Env environment = file.Environment(L"ja_JP.932");
    environment.back().value = std::nullopt;
    const ChildProcess::Result result = ChildProcess::Run("NLSListener", environment);
    EXPECT_EQ(Output(result), "listener \"932\": during through 1252, nested 2\ninit 4\nafter: 932, listener calls 1\n");
}

TEST(ZYNSysNLS, ThreadsThatWaitedForAnInitialisationDoNotRepeatIt) {
    const LanguagesFile file(kFile);
    Env environment = file.Environment(L"fr_FR");
    environment.back().value = std::nullopt;
    const ChildProcess::Result result = ChildProcess::Run("NLSEightThreads", environment);
    EXPECT_EQ(Output(result), "repeated initialisations 0, answered 4: 20\n");
}

TEST(ZYNSysNLS, ALanguageIsSelectedByNameAndAnUnknownNameValidatesLang) {
    const LanguagesFile file(kFile);
    Env environment = file.Environment(L"fr_FR.1252");
    environment.back().value = std::nullopt;
    const ChildProcess::Result result = ChildProcess::Run("NLSByName", environment);
    EXPECT_EQ(Output(result),
              "first 4, Japanese 4, again 1, unknown 4\nrecord \"French\" \"fr\" \"fr_FR\" \"1252\" \",\" 1, pending 0\n");
}

TEST(ZYNSysNLS, LocaleNamesAreCutToTheirRoomAndTheStandardLocaleFallsBackToClassic) {
    // The runtime names a locale of code page 65001 per category, in 164 characters.
    const LanguagesFile file("*BEGIN*\nEnglish en en_US.65001 65001\n");
    Env environment = file.Environment(L"en_US.65001");
    environment.back().value = std::nullopt;
    const ChildProcess::Result result = ChildProcess::Run("NLSLocaleRoom", environment);
    EXPECT_EQ(Output(result),
              "init 4, standard locale classic\nname 103 bytes, guard kept; translated 1 \"FRA_F\", guard kept\n");
}

TEST(ZYNSysNLS, QuerySupplangListsMatchesOfATemplateOrAPredicateInFileOrder) {
    const LanguagesFile file(kFile);
    Env environment = file.Environment(nullptr);
    environment.back().value = std::nullopt;
    const ChildProcess::Result result = ChildProcess::Run("NLSQuery", environment);
    EXPECT_EQ(Output(result),
              "all: 0x0 4: [French|fr|fr_FR|1252] [English|en|en_US|1252] [Japanese|ja|ja_JP|932] "
              "[English|en-utf8|en_GB|UTF-8]\n"
              "English: 0x0 2: [English|en|en_US|1252] [English|en-utf8|en_GB|UTF-8]\n"
              "inside: 0x0 1: [English|en-utf8|en_GB|UTF-8]\n"
              "UTF-8: 0x0 1: [English|en-utf8|en_GB|UTF-8]\n"
              "first only: 0x0 4: [French|fr|fr_FR|1252]\n"
              "mode 2: 0x80070057 9:\n"
              "predicate: 0x0 1: [Japanese|ja|ja_JP|932], calls 4\n"
              "null template: 0x80004005, table users 0\n");
    const LanguagesFile none(nullptr);
    environment = none.Environment(nullptr);
    environment.back().value = std::nullopt;
    EXPECT_NE(Output(ChildProcess::Run("NLSQuery", environment)).find("all: 0x8000FFFF 9:\n"), std::string::npos);
    // A line of two tokens leaves the last two columns empty; a long column is kept whole.
    const LanguagesFile shortLine("*BEGIN*\nTwo tokens\nEnglish abcdefghijabcdefghijabcdefghijab x_Y 1252\n");
    environment = shortLine.Environment(nullptr);
    environment.back().value = std::nullopt;
    const std::string output = Output(ChildProcess::Run("NLSQuery", environment));
    EXPECT_EQ(output.substr(0, output.find('\n') + 1),
              "all: 0x0 2: [Two|tokens||] [English|abcdefghijabcdefghijabcdefghijab|x_Y|1252]\n");
}

TEST(ZYNSysNLS, AddListenerTakesFourAtMost) {
    EXPECT_EQ(Output(ChildProcess::Run("NLSAddListener")),
              "0x80070057 0x0 0x1 0x0 0x0 0x0 0x80004005 0x1 \n");
}

TEST(ZYNSysNLS, TraceWritesTheProcessIdAndALineOnlyWhenSwitchedOn) {
    struct Case {
        const wchar_t* trace;
        const wchar_t* contextTrace;
        std::string expected;
    };
    const Case cases[] = {{L"1", nullptr, "[PID]value 7 of eight\nend\n"},
                          {nullptr, nullptr, "end\n"},
                          {nullptr, L"ZYNSysNLSCoreTrace=1", "[PID]value 7 of eight\nend\n"}};
    for (const Case& c : cases) {
        const ChildProcess::Result result = ChildProcess::Run(
            "NLSTrace", {{L"ZYNSysNLSCoreTrace", Value(c.trace)}, {L"NLSTestContext", Value(c.contextTrace)}});
        EXPECT_EQ(Output(result), c.expected) << (c.trace ? "on" : c.contextTrace ? "on in the context" : "off");
    }
}

TEST(GetEnvironmentPath, ReadsLongValuesThenTheContextsThenTheInstallFolder) {
    const std::wstring longValue = L"C:\\" + std::wstring(297, L'L');
    const ChildProcess::Result result =
        ChildProcess::Run("EnvironmentLookup", {{L"LongVariable", longValue},
                                                {L"QORReffilesPath", std::wstring(L"process folder")},
                                                {L"FromContext", std::nullopt},
                                                {L"InBoth", std::nullopt},
                                                {L"Missing", std::nullopt},
                                                {L"QORInstallPath", std::nullopt}});
    EXPECT_EQ(Output(result),
              "LongVariable 1 300 C:\\LLLLLLLLLLLLL\n"
              "QORReffilesPath 1 14 process folder\n"
              "FromContext 1 13 context value\n"
              "InBoth 1 13 current value\n"
              "Missing 0 0 \n"
              "QORInstallPath 1 three levels up\n");
}

TEST(GetEnvironmentPath, TheInstallFolderOutlivesTheStaticsFreedAtExit) {
    EXPECT_EQ(Output(ChildProcess::Run("InstallFolderAtExit", {{L"QORInstallPath", std::nullopt}})),
              "first found\nat exit the same folder\n");
}

TEST(ZYNSysStringTokenizer, SplitsAtDelimitersSkippingRunsOrOneAtATime) {
    struct Case {
        const wchar_t* text;
        bool oneAtATime;
        const wchar_t* delimiters;
        std::string tokens;
    };
    const Case cases[] = {
        {L"a;;b", false, L";", "<a><b>"},
        {L"a;;b", true, L";", "<a><><b>"},
        {L";;a;", false, L";", "<a>"},
        {L";;a;", true, L";", "<><a>"},
        {L"a b;c", false, L" ;", "<a><b><c>"},
        {L"a;b", false, L"", "<a;b>"},
        {L"a;b", false, nullptr, "<a;b>"},
        {L"", false, L";", ""},
        {L";;;", false, L";", ""},
    };
    for (const Case& c : cases) {
        QORInterUnicodeString text;
        text.BuildFromWide(c.text);
        ZYNSysStringTokenizer tokenizer(text, c.oneAtATime);
        std::string tokens;
        QORInterUnicodeString token;
        bool found = false;
        for (int guard = 0; guard < 10; ++guard) {
            tokenizer.Next(token, c.delimiters, found);
            if (!found) break;
            tokens += "<" + Narrow(token.IsEmpty() ? L"" : token.CastToWCharStar()) + ">";
        }
        EXPECT_EQ(tokens, c.tokens) << Narrow(c.text) << (c.oneAtATime ? " one at a time" : "");
        EXPECT_TRUE(token.IsEmpty()) << Narrow(c.text);
    }
}

TEST(LConv, CopiesTheRuntimeConventionsIntoItsSlotsSpillingToTheHeap) {
    const ChildProcess::Result result = ChildProcess::Run("ThreadConventions", {{L"ZYNSysNLSCoreTrace", std::nullopt}});
    EXPECT_EQ(Output(result),
              "per-thread -1, slots 18 of 24: point \",\" thousands \"\\xA0\" currency \"\\x20AC\" grouping \"\\x3\" "
              "sign position \"\\x1\"\ninline 1 heap 1, after reset used 0 heap 0\n"
              "decimal point from formatting \",\"\n");
}

TEST(ZYNSysNLS, AConversionBeforeMainInitialisesTheSettings) {
    const LanguagesFile file("*BEGIN*\nJapanese ja ja_JP 932\n");
    Env environment = file.Environment(L"ja_JP");
    environment.back().value = std::nullopt;
    EXPECT_EQ(Output(ChildProcess::Run("NLSStaticInitialiser", environment)), "converter 932, pending 0\n");
}

TEST(ZYNSysNLS, LanguagesFileIsFoundThroughAnyOfItsThreeFolderLists) {
    TestFolder folder;
    const std::wstring nls = folder.In(L"reffiles\\NLS");
    ::CreateDirectoryW(folder.In(L"reffiles").c_str(), nullptr);
    ::CreateDirectoryW(nls.c_str(), nullptr);
    std::ofstream(folder.Utf8In("reffiles\\NLS\\SUPPLANG_Q9"), std::ios::binary) << "*BEGIN*\nFrench fr fr_FR 1252\n";
    const std::wstring missing = folder.In(L"missing");
    struct Case {
        const char* name;
        const wchar_t* variable;
        std::wstring value;
        const char* firstLine;
    };
    const Case cases[] = {
        {"reference files", L"QORReffilesPath", missing + L";;" + folder.In(L"reffiles"), "init 4"},
        {"install folder", L"QORInstallPath", missing + L";" + folder.Path(), "init 4"},
        {"file itself", L"ZYNSysNLSInstallPath", L";" + nls + L"\\SUPPLANG_Q9", "init 4"},
        {"nowhere", L"QORReffilesPath", missing, "init 0"},
    };
    const LanguagesFile none(nullptr);
    for (const Case& c : cases) {
        Env environment = none.Environment(L"fr_FR");
        environment.back().value = std::nullopt;
        environment.push_back({c.variable, c.value});
        const std::string output = Output(ChildProcess::Run("NLSInitialize", environment));
        EXPECT_EQ(output.substr(0, output.find(',')), c.firstLine) << c.name;
    }
}

TEST(ZYNSysNLS, UserFormatOfAUtf8SystemEndsInUtf8UnlessTheBetaSwitchIsSet) {
    if (::GetACP() != 65001) GTEST_SKIP() << "the system's ANSI code page is " << ::GetACP() << ", not 65001";
    const LanguagesFile none(nullptr);
    struct Case {
        const wchar_t* disable;
        bool utf8;
    };
    const Case cases[] = {{nullptr, true}, {L"1", false}};
    for (const Case& c : cases) {
        Env environment = none.Environment(nullptr);
        environment.back().value = std::nullopt;
        environment.push_back({L"ZYNSysNLSCoreWinBetaUtf8_Disable", Value(c.disable)});
        const std::string output = Output(ChildProcess::Run("NLSInitialize", environment));
        const std::string first = output.substr(0, output.find('\n'));
        EXPECT_EQ(first.size() > 7 && first.compare(first.size() - 7, 7, ".UTF-8\"") == 0, c.utf8) << first;
    }
}


// A traced initialisation inside the query would show before its line.
TEST(ZYNSysNLS, SettingsFromTheMainContextAreReadWithoutStartingTheSettingsOnAHalfLoadedTable) {
    const LanguagesFile file(kFile);
    struct Case {
        const char* name;
        std::wstring context;
        std::string untilQuery;
        std::string lastLine;
    };
    const Case cases[] = {
        {"folder in the context", L"QORReffilesPath=" + file.Folder(), "query 0x0 4, pending 1\n",
         "init 4, pending 0\n"},
    };
    for (const Case& c : cases) {
        Env environment = file.Environment(L"fr_FR.1252");
        environment[1].value = std::nullopt;
        environment.push_back({L"NLSTestContext", c.context});
        const std::string output = Output(ChildProcess::Run("NLSQueryWithContext", environment));
        const std::size_t query = output.find("query ");
        const std::size_t last = output.rfind('\n', output.size() - 2);
        EXPECT_EQ(output.substr(0, output.find('\n', query) + 1), c.untilQuery) << c.name;
        EXPECT_EQ(output.substr(last == std::string::npos ? 0 : last + 1), c.lastLine) << c.name;
    }
}
