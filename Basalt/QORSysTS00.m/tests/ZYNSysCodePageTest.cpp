#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "QORInterUnicodeString.h"
#include "ZYNSysCodePage.h"

namespace {

std::string Output(const ChildProcess::Result& result) { return ChildProcess::TextOutput(result); }

std::string Hex(const char* bytes, std::size_t count) {
    std::string out;
    char byte[4];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(byte, sizeof byte, "%02X", static_cast<unsigned char>(bytes[i]));
        out += byte;
    }
    return out;
}

ZYNSysNLSEntry Record(const char* codePage, std::uint32_t maxCharSize) {
    ZYNSysNLSEntry entry{};
    ZYNSysNLSCopyField(entry.codePage, codePage);
    entry.maxCharSize = maxCharSize;
    return entry;
}

// Settings that answer a fixed record and count what the converter asks of them.
class FakeSettings : public ZYNSysNLSProvider {
public:
    explicit FakeSettings(const char* codePage, DWORD delayMs = 0) : entry_(Record(codePage, 1)), delayMs_(delayMs) {}
    HRESULT GetSettings(ZYNSysNLSEntry* entry) override {
        ++settingsReads;
        ::Sleep(delayMs_);
        *entry = entry_;
        return 0;
    }
    HRESULT AddListener(ZYNSysNLSListener) override {
        ++listenerCalls;
        return 0;
    }
    // Writes the translation without a terminator when it does not fit.
    bool TranslateLangToBuffer(const char* lang, char* buffer, std::size_t size) override {
        if (!translation || std::strcmp(lang, "fr_FR") != 0) return false;
        std::memcpy(buffer, translation, std::min(size, std::strlen(translation) + 1));
        return true;
    }
    bool IsInitializingOnCallingThread() override { return initializing; }

    const char* translation = nullptr;

    std::atomic<int> settingsReads{0};
    std::atomic<int> listenerCalls{0};
    std::atomic<bool> initializing{false};

private:
    ZYNSysNLSEntry entry_;
    DWORD delayMs_;
};

// Two pages, the second inaccessible: bytes placed at the end of the first have nothing readable
// after them.
class GuardedPage {
public:
    GuardedPage() {
        SYSTEM_INFO info{};
        ::GetSystemInfo(&info);
        size_ = info.dwPageSize;
        base_ = static_cast<char*>(::VirtualAlloc(nullptr, 2 * size_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD previous = 0;
        if (base_ && !::VirtualProtect(base_ + size_, size_, PAGE_NOACCESS, &previous)) {
            ::VirtualFree(base_, 0, MEM_RELEASE);
            base_ = nullptr;
        }
    }
    ~GuardedPage() {
        if (base_) ::VirtualFree(base_, 0, MEM_RELEASE);
    }
    GuardedPage(const GuardedPage&) = delete;
    GuardedPage& operator=(const GuardedPage&) = delete;
    char* End() const { return base_ ? base_ + size_ : nullptr; }

private:
    char* base_ = nullptr;
    std::size_t size_ = 0;
};

ChildProcess::Result RunWithLang(const char* name, const wchar_t* lang) {
    return ChildProcess::Run(name, {{L"LANG", lang ? std::optional<std::wstring>(lang) : std::nullopt}});
}

}  // namespace

TEST(ZYNSysCodePage, CreateRecognisesNamesAndFallsBackToIdentity) {
    struct Case {
        const char* name;
        std::uint32_t maxBytes;
        HRESULT result;
        const char* stored;
        bool utf8;
        std::uint32_t storedMax;
    };
    const Case cases[] = {
        {"UTF-8", 1, S_OK, "UTF-8", true, 4},
        {"65001", 2, S_OK, "65001", true, 4},
        {"utf-8", 1, E_FAIL, "Identity", false, 1},
        {"1252", 1, S_OK, "1252", false, 1},
        {"932", 2, S_OK, "932", false, 2},
        {"0", 1, E_FAIL, "Identity", false, 1},
        {"99999", 1, E_FAIL, "Identity", false, 1},
        {"", 1, E_FAIL, "Identity", false, 1},
        {nullptr, 3, E_FAIL, "Identity", false, 3},
    };
    for (const Case& c : cases) {
        const char* label = c.name ? c.name : "(null)";
        ZYNSysCodePage converter;
        EXPECT_EQ(converter.Create(c.name, c.maxBytes, nullptr), c.result) << label;
        EXPECT_STREQ(converter.GetName(), c.stored) << label;
        EXPECT_EQ(converter.IsUTF8(), c.utf8) << label;
        EXPECT_EQ(converter.GetMaxCharSize(), c.storedMax) << label;
        EXPECT_STREQ(converter.GetLocaleName(), "C") << label;
    }
    // The same name again changes only the maximum.
    ZYNSysCodePage converter;
    converter.Create("1252", 1, nullptr);
    EXPECT_EQ(converter.Create("1252", 3, nullptr), S_OK);
    EXPECT_EQ(converter.GetMaxCharSize(), 3u);
    EXPECT_EQ(converter.GetToUC2(), &ZYNSysCodePage::_CPtoUC2);
}

TEST(ZYNSysCodePage, LocaleNameComesFromTheSettingsCutToItsBuffer) {
    const std::string longName(100, 'L');
    struct Case {
        const char* name;
        const char* codePage;
        const char* language;
        const char* translation;
        std::string localeName;
    };
    const Case cases[] = {
        {"translated", "1252", "fr_FR", "French_France.1252", "French_France.1252"},
        {"cut", "1252", "fr_FR", longName.c_str(), std::string(84, 'L')},
        {"not translated", "1252", "xx_YY", "French_France.1252", "C"},
        {"no language", "1252", nullptr, "French_France.1252", "C"},
        {"identity", "utf-8", "fr_FR", "French_France.1252", "C"},
    };
    for (const Case& c : cases) {
        FakeSettings settings("1252");
        settings.translation = c.translation;
        ZYNSysNLSProvider* previous = ZYNSysNLSSetProvider(&settings);
        ZYNSysCodePage converter;
        converter.Create(c.codePage, 1, c.language);
        ZYNSysNLSSetProvider(previous);
        EXPECT_EQ(converter.GetLocaleName(), c.localeName) << c.name;
    }
}

TEST(ZYNSysCodePage, IdentityWidensBytesAndKeepsLowBytesWithoutInnerNul) {
    ZYNSysCodePage identity;
    identity.Create(nullptr, 1, nullptr);
    wchar_t units[4] = {L'#', L'#', L'#', L'#'};
    long count = 0;
    EXPECT_EQ(ZYNSysCodePage::ToUC2(&identity, "A\xE9", 2, units, &count), 2);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(std::wstring(units, 3), std::wstring(L"A\u00e9\0", 3));

    struct Case {
        const char* name;
        std::wstring units;
        std::size_t capacity;
        std::string bytes;
    };
    const Case cases[] = {
        {"euro", L"\u20AC", 8, "\xAC"},
        {"U+0100 inside", L"a\u0100b", 8, "a?b"},
        {"U+4E00", L"\u4E00", 8, "?"},
        {"U+0000", std::wstring(L"a\0b", 3), 8, std::string("a\0b", 3)},
        {"bounded", L"abcdef", 4, "abc"},
    };
    for (const Case& c : cases) {
        char out[8];
        std::memset(out, '#', sizeof out);
        std::size_t written = 0;
        ZYNSysCodePage::FromUC2(&identity, c.units.data(), static_cast<long>(c.units.size()), out, c.capacity, &written);
        EXPECT_EQ(std::string(out, written), c.bytes) << c.name;
        EXPECT_EQ(out[written], '\0') << c.name;
    }
}

TEST(ZYNSysCodePage, BoundedConversionToUTF16StaysWithinItsCount) {
    struct Case {
        const char* name;
        const char* codePage;
        const char* bytes;
        long limit;
        std::wstring written;
    };
    const Case cases[] = {
        {"UTF-8 cut", "UTF-8", "abcdef", 3, L"abc#"},
        {"UTF-8 exactly the count", "UTF-8", "ab\xC3\xA9", 3, L"ab\u00e9#"},
        {"UTF-8 fewer than the count", "UTF-8", "ab", 3, std::wstring(L"ab\0#", 4)},
        {"identity cut", nullptr, "abcdef", 3, L"abc#"},
        {"identity exactly the count", nullptr, "abc", 3, L"abc#"},
        {"identity fewer than the count", nullptr, "ab", 3, std::wstring(L"ab\0#", 4)},
    };
    for (const Case& c : cases) {
        ZYNSysCodePage converter;
        converter.Create(c.codePage, 1, nullptr);
        // One guard unit past the count.
        wchar_t units[8];
        std::fill(std::begin(units), std::end(units), L'#');
        const char* source = c.bytes;
        long size = static_cast<long>(std::strlen(c.bytes));
        long count = c.limit;
        converter.GetToUC2()(&converter, &source, &size, units, &count);
        EXPECT_EQ(std::wstring(units, static_cast<std::size_t>(c.limit) + 1), c.written) << c.name;
    }
}

// Bounded conversions from 1252 and 932; the warnings go to standard error.
VAROMET_CHILD_CASE(BoundedCodePageToUC2) {
    struct Case {
        const char* name;
        const char* codePage;
        const char* bytes;
        long size;
        long limit;
    };
    const Case cases[] = {
        {"two of five", "1252", "abcde", 5, 2},
        {"all of three", "1252", "abc", 3, 10},
        {"932 character across the end", "932", "a\x82\xA0", 2, 5},
        {"932 second character is the last", "932", "a\x82\xA0" "b", 4, 2},
        {"932 whole", "932", "a\x82\xA0", 3, 2},
    };
    for (const Case& c : cases) {
        ZYNSysCodePage converter;
        converter.Create(c.codePage, 2, nullptr);
        wchar_t units[8] = {};
        const char* source = c.bytes;
        long size = c.size;
        long count = c.limit;
        const long result = converter.GetToUC2()(&converter, &source, &size, units, &count);
        std::fflush(stderr);
        std::printf("%s: %ld units, %ld taken, size %ld%s\n", c.name, result,
                    source ? static_cast<long>(source - c.bytes) : -1L, size, source ? "" : ", source consumed");
        std::fflush(stdout);
    }
    return 0;
}

TEST(ZYNSysCodePage, BoundedConversionTakesWholeCharactersWithinTheSize) {
    const ChildProcess::Result result = ChildProcess::Run("BoundedCodePageToUC2");
    ASSERT_TRUE(result.started) << result.output;
    const char* warning =
        "WARNING: ZYNSysCodePage::_CPtoUC2 might have read uninitialized memory... The input string must be "
        "corrupted!\n";
    EXPECT_EQ(Output(result), std::string("two of five: 2 units, 2 taken, size 3\n"
                                         "all of three: 3 units, -1 taken, size 0, source consumed\n") +
                                 warning +
                                 "932 character across the end: 1 units, 1 taken, size 1\n"
                                 "932 second character is the last: 2 units, 3 taken, size 1\n"
                                 "932 whole: 2 units, -1 taken, size 0, source consumed\n");
}

// A 932 lead byte as the last byte of the source, right before an inaccessible page.
VAROMET_CHILD_CASE(LeadByteBeforeAGuardPage) {
    GuardedPage page;
    if (!page.End()) return 2;
    char* bytes = page.End() - 2;
    std::memcpy(bytes, "a\x82", 2);
    ZYNSysCodePage converter;
    converter.Create("932", 2, nullptr);
    wchar_t units[8] = {};
    const char* source = bytes;
    long size = 2;
    long count = 5;
    const long result = converter.GetToUC2()(&converter, &source, &size, units, &count);
    std::fflush(stderr);
    std::printf("%ld units, %ld taken\n", result, static_cast<long>(source - bytes));
    return 0;
}

TEST(ZYNSysCodePage, ALeadByteAtTheEndIsNotReadPast) {
    const ChildProcess::Result result = ChildProcess::Run("LeadByteBeforeAGuardPage");
    ASSERT_TRUE(result.started) << result.output;
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    EXPECT_EQ(Output(result),
              "WARNING: ZYNSysCodePage::_CPtoUC2 might have read uninitialized memory... The input string must be "
              "corrupted!\n1 units, 1 taken\n");
}

// 4 units of Japanese that 932 writes in 6 bytes, with settings that claim 1 byte a character.
VAROMET_CHILD_CASE(Japanese932WithMaximumOne) {
    const ZYNSysNLSEntry entry = Record("932", 1);
    ZYNSysCodePage::OnNLSChange(&entry);
    const wchar_t text[] = L"\u3042\uFF71\u3044\uFF72";
    char expected[16] = {};
    const int length = ::WideCharToMultiByte(932, 0, text, 4, expected, sizeof expected, nullptr, nullptr);
    QORInterUnicodeString s;
    s.BuildFromWide(text);
    const char* form = s.CastToCharStar();
    std::printf("%s: %d bytes, %s\n", ZYNSysCodePage::GetCurrent()->GetName(), s.GetCharLength(),
                form && Hex(form, std::strlen(form)) == Hex(expected, length) ? "as WideCharToMultiByte"
                                                                               : Hex(form, std::strlen(form)).c_str());
    char room[8];
    std::memset(room, '#', sizeof room);
    std::size_t written = 0;
    ZYNSysCodePageConvertCurrent(text, 4, room, 5, &written);
    std::printf("room 5: %s\n", Hex(room, written + 2).c_str());
    return 0;
}

TEST(ZYNSysCodePage, CachedCodePageFormIsSizedByTheConverterNotTheMaximum) {
    const ChildProcess::Result result = ChildProcess::Run("Japanese932WithMaximumOne");
    ASSERT_TRUE(result.started) << result.output;
    // Bounded by 5: the second double-byte character does not fit whole.
    EXPECT_EQ(Output(result), "932: 6 bytes, as WideCharToMultiByte\nroom 5: 82A0B10023\n");
}

// One thread converts through the current converter while another changes it 50 times.
VAROMET_CHILD_CASE(ChangeWhileConverting) {
    const ZYNSysNLSEntry latin = Record("1252", 1);
    const ZYNSysNLSEntry western = Record("28591", 1);
    ZYNSysCodePage::OnNLSChange(&latin);
    ZYNSysCodePage* first = ZYNSysCodePage::GetCurrent();
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::atomic<int> conversions{0};
    std::thread converter([&] {
        while (!stop.load()) {
            QORInterUnicodeString s;
            s.BuildFromWide(L"caf\u00e9");
            if (std::strcmp(s.CastToCharStar(), "caf\xE9") != 0) ++wrong;
            ++conversions;
        }
    });
    // The changes must meet a thread that is already converting.
    while (conversions.load() == 0) std::this_thread::yield();
    for (int i = 0; i < 50; ++i) {
        ZYNSysCodePage::OnNLSChange(i % 2 ? &latin : &western);
        ::Sleep(1);
    }
    stop = true;
    converter.join();
    wchar_t units[8] = {};
    long count = 0;
    ZYNSysCodePage::ToUC2(first, "caf\xE9", 4, units, &count);
    std::printf("wrong %d, parked %d, old converter %s, %s\n", wrong.load(), ZYNSysCodePageParkedCount(),
                first->GetName(), std::wstring(units) == L"caf\u00e9" ? "converts" : "broken");
    return conversions.load() > 0 ? 0 : 1;
}

TEST(ZYNSysCodePage, ChangingTheSettingsLeavesConversionsOnOtherThreadsIntact) {
    const ChildProcess::Result result = ChildProcess::Run("ChangeWhileConverting");
    ASSERT_TRUE(result.started) << result.output;
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    EXPECT_EQ(Output(result), "wrong 0, parked 50, old converter 1252, converts\n");
}

// Made before the converter's statics, so destroyed after them: the settings change once more
// while exit runs.
struct ChangeAtExit {
    ~ChangeAtExit() {
        const ZYNSysNLSEntry western = Record("28591", 1);
        ZYNSysCodePage::OnNLSChange(&western);
        std::printf("at exit: %s, parked %d\n", ZYNSysCodePage::GetCurrent()->GetName(), ZYNSysCodePageParkedCount());
        std::fflush(stdout);
    }
};

VAROMET_CHILD_CASE(ChangeAfterTheParkedConvertersAreGone) {
    static ChangeAtExit atExit;
    const ZYNSysNLSEntry latin = Record("1252", 1);
    ZYNSysCodePage::OnNLSChange(&latin);
    ZYNSysCodePage::OnNLSChange(&latin);
    std::printf("parked %d\n", ZYNSysCodePageParkedCount());
    std::fflush(stdout);
    return 0;
}

TEST(ZYNSysCodePage, AChangeDuringExitKeepsTheOldConverter) {
    const ChildProcess::Result result = ChildProcess::Run("ChangeAfterTheParkedConvertersAreGone");
    ASSERT_TRUE(result.started) << result.output;
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    EXPECT_EQ(Output(result), "parked 1\nat exit: 28591, parked 0\n");
}

VAROMET_CHILD_CASE(EmptyCodePageInSettings) {
    static FakeSettings settings("");
    ZYNSysNLSSetProvider(&settings);
    ZYNSysCodePage* current = ZYNSysCodePage::GetCurrent();
    std::fflush(stderr);
    QORInterUnicodeString s;
    s.BuildFromWide(L"\u0141x");
    std::printf("%s, %s\n", current->GetName(), s.CastToCharStar());
    return 0;
}

TEST(ZYNSysCodePage, EmptyCodePageInTheSettingsAssertsAndGivesIdentity) {
    const ChildProcess::Result result = ChildProcess::Run("EmptyCodePageInSettings");
    ASSERT_TRUE(result.started) << result.output;
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(Output(result),
              "Assertion failed: l_NLSEntry.codePage && strcmp(l_NLSEntry.codePage, \"\"), file "
              "Basalt\\QORSysTS00.m\\src\\ZYNSysCodePage, line 143\nIdentity, Ax\n");
}

VAROMET_CHILD_CASE(RegistrationFromEightThreads) {
    static FakeSettings settings("1252", 50);
    ZYNSysNLSSetProvider(&settings);
    ZYNSysCodePage* seen[8] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) threads.emplace_back([&seen, t] { seen[t] = ZYNSysCodePage::GetCurrent(); });
    for (std::thread& thread : threads) thread.join();
    int same = 0;
    for (ZYNSysCodePage* converter : seen) same += converter == ZYNSysCodePage::GetCurrent() ? 1 : 0;
    std::printf("listeners %d, status %d, same converter %d, %s\n", settings.listenerCalls.load(),
                ZYNSysCodePageRegistrationStatus(), same, ZYNSysCodePage::GetCurrent()->GetName());
    return 0;
}

TEST(ZYNSysCodePage, ListenerIsRegisteredOnceWhateverTheThreads) {
    const ChildProcess::Result result = ChildProcess::Run("RegistrationFromEightThreads");
    ASSERT_TRUE(result.started) << result.output;
    EXPECT_EQ(Output(result), "listeners 1, status 1, same converter 8, 1252\n");
}

VAROMET_CHILD_CASE(ConversionDuringInitialisation) {
    static FakeSettings settings("932");
    ZYNSysNLSSetProvider(&settings);
    settings.initializing = true;
    ZYNSysCodePage* during = ZYNSysCodePage::GetCurrent();
    QORInterUnicodeString s;
    s.BuildFromWide(L"ok");
    std::printf("during: %s, %s, reads %d\n", during->GetName(), s.CastToCharStar(), settings.settingsReads.load());
    settings.initializing = false;
    ZYNSysCodePage* after = ZYNSysCodePage::GetCurrent();
    std::printf("after: %s, reads %d, %s\n", after->GetName(), settings.settingsReads.load(),
                after == during ? "same" : "installed");
    return 0;
}

TEST(ZYNSysCodePage, ConversionDuringInitialisationUsesTheBootstrapConverterWithoutInstallingIt) {
    const ChildProcess::Result result = RunWithLang("ConversionDuringInitialisation", L"C.UTF-8");
    ASSERT_TRUE(result.started) << result.output;
    EXPECT_EQ(Output(result), "during: UTF-8, ok, reads 0\nafter: 932, reads 1, installed\n");
}

VAROMET_CHILD_CASE(BootstrapName) {
    ZYNSysNLSSetProvider(&ZYNSysNLSBootstrapProvider());
    std::printf("%s\n", ZYNSysCodePage::GetCurrent()->GetName());
    return 0;
}

TEST(ZYNSysCodePage, BootstrapConverterFollowsTheCodePageOfLang) {
    const std::string ansi = std::to_string(::GetACP()) + "\n";
    struct Case {
        const wchar_t* lang;
        std::string name;
    };
    const Case cases[] = {
        {L"C.UTF-8", "UTF-8\n"},   {L".UTF-8", "UTF-8\n"},   {L"fr_FR.UTF-8", "UTF-8\n"},
        {L"fr_FR.1252", ansi},     {L"en_US.utf8", ansi},    {L"fr_FR", ansi},
        {nullptr, ansi},
    };
    for (const Case& c : cases) {
        const ChildProcess::Result result = RunWithLang("BootstrapName", c.lang);
        ASSERT_TRUE(result.started) << result.output;
        std::string label;
        for (const wchar_t* p = c.lang ? c.lang : L"(unset)"; *p; ++p) label += static_cast<char>(*p);
        EXPECT_EQ(Output(result), c.name) << label;
    }
}
