#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "ErrorStack.h"
#include "WStringList.h"
#include "ZYNSysKernelHandle.h"
#include "ZYNSysTSD.h"

namespace {

std::wstring Text(const SharedWString& s) {
    return std::wstring(s.c_str(), static_cast<std::size_t>(s.GetLength()));
}

// Counts its destruction: shows when the stack lets a record go.
class CountedError : public ErrorObject {
public:
    CountedError(std::uint32_t number, std::atomic<int>& destroyed)
        : ErrorObject(L"counted", 1, E_FAIL, number), destroyed_(destroyed) {}
    ~CountedError() override { ++destroyed_; }

private:
    std::atomic<int>& destroyed_;
};

}  // namespace

TEST(ErrorStack, EachThreadCountsOnlyItsOwnRecords) {
    const std::uint32_t mainBefore = ErrorStack::GetCount();
    // A spin, not std::latch: the latch's wait loses wake-ups with this toolchain under Wine.
    std::atomic<int> ready{0};
    std::uint32_t before[2] = {9, 9}, after[2] = {};
    auto pusher = [&](int index, int pushes) {
        ++ready;
        while (ready.load() < 2) std::this_thread::yield();  // both make the process's first push at once
        before[index] = ErrorStack::GetCount();
        for (int i = 0; i < pushes; ++i) RaiseError(L"pushed", 1, E_FAIL, 0);
        after[index] = ErrorStack::GetCount();
    };
    std::thread one(pusher, 0, 1), three(pusher, 1, 3);
    one.join();
    three.join();
    EXPECT_EQ(before[0], 0u);
    EXPECT_EQ(after[0], 1u);
    EXPECT_EQ(before[1], 0u);
    EXPECT_EQ(after[1], 3u);
    EXPECT_EQ(ErrorStack::GetCount(), mainBefore);
}

TEST(ErrorStack, AThreadKeepsItsNewestRecordsAndReleasesThemWhenItEnds) {
    std::atomic<int> destroyed{0};
    const long mapsBefore = ZYNSysTSDLiveMapCount();
    std::uint32_t count = 0, newest = 0, oldest = 0;
    bool nothingPastOldest = false;
    int destroyedWhileRunning = 0;
    std::thread([&] {
        for (std::uint32_t i = 0; i < 40; ++i) ErrorStack::Push(std::make_unique<CountedError>(i, destroyed));
        count = ErrorStack::GetCount();
        newest = ErrorStack::GetRecord(0)->win32Code;
        oldest = ErrorStack::GetRecord(ErrorStack::kMaxRecords - 1)->win32Code;
        nothingPastOldest = ErrorStack::GetRecord(ErrorStack::kMaxRecords) == nullptr;
        destroyedWhileRunning = destroyed;
    }).join();
    EXPECT_EQ(count, 32u);
    EXPECT_EQ(newest, 39u);
    EXPECT_EQ(oldest, 8u);
    EXPECT_TRUE(nothingPastOldest);
    EXPECT_EQ(destroyedWhileRunning, 8);
    EXPECT_EQ(destroyed, 40);
    EXPECT_EQ(ZYNSysTSDLiveMapCount(), mapsBefore);
}

TEST(ErrorStack, LastErrorZeroRaisesNothing) {
    const std::uint32_t before = ErrorStack::GetCount();
    ::SetLastError(0);
    RaiseLastWin32Error(L"nothing wrong", 4, E_FAIL);
    EXPECT_EQ(ErrorStack::GetCount(), before);
}

TEST(ErrorStack, FailedOpenOfAMissingFileRaisesItsNumberAndTheSystemText) {
    const SharedWString message(L"Open failed");
    const std::uint32_t before = ErrorStack::GetCount();
    ZYNSysKernelHandle file(::CreateFileW(L"varomet-no-such-file-4f1c.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    const DWORD error = ::GetLastError();
    ASSERT_FALSE(file.IsValid());
    ASSERT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ::SetLastError(error);
    RaiseLastWin32Error(message, 4, E_FAIL);

    ASSERT_EQ(ErrorStack::GetCount(), before + 1);
    const ErrorObject* record = ErrorStack::GetRecord(0);
    const std::wstring text = Text(record->message);
    const std::wstring head = L"Open failed\nError num: 2\n";
    EXPECT_EQ(text.substr(0, head.size()), head);
    EXPECT_GT(text.size(), head.size()) << "no system text";  // its words differ between systems
    EXPECT_EQ(record->win32Code, 2u);
    EXPECT_EQ(record->severity, 4u);
    EXPECT_EQ(record->hresult, static_cast<std::uint32_t>(E_FAIL));
}

TEST(ErrorStack, CatalogMessagesJoinTheirParameters) {
    const WStringList none, one(L"x"), two(L"x", L"y");
    struct Case {
        const char* name;
        const WStringList* parameters;
        std::wstring message;
    };
    const Case cases[] = {
        {"no list", nullptr, L"A.B()"},
        {"empty list", &none, L"A.B()"},
        {"one parameter", &one, L"A.B(x)"},
        {"two parameters", &two, L"A.B(x, y)"},
    };
    for (const Case& c : cases) EXPECT_EQ(Text(FormatCatalogMessage(L"A", L"B", c.parameters)), c.message) << c.name;

    RaiseCatalogError(L"A", L"B", &two, 4, E_FAIL, 0);
    const ErrorObject* record = ErrorStack::GetRecord(0);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(Text(record->message), L"A.B(x, y)");
    EXPECT_EQ(record->severity, 4u);
    EXPECT_EQ(record->win32Code, 0u);
}
