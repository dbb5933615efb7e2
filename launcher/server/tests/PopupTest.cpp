// The confirmation popups of "exe" and "url": real message boxes on threads of this process
// (the main thread plays the user), in test mode in a child process, and through the product.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <new>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "Backbone.h"
#include "ChildProcess.h"
#include "Config.h"
#include "ConfirmationPopup.h"
#include "Json.h"
#include "LauncherTestSupport.h"
#include "LogSink.h"
#include "ZYNSysKernelHandle.h"

namespace {

constexpr DWORD kWait = 20000;

const std::wstring kExeBefore =
    L"An application is contacting the Varomet Launcher asking it to launch this customn application:\n\n\t";
const std::wstring kExeAfter = L"\n\nDo you want to launch this application ?";
const std::wstring kUrlBefore =
    L"An application is contacting the Varomet Launcher asking it to use the following URL as a trusted third "
    L"party.\n\n\t";
const std::wstring kUrlAfter =
    L"\n\nPlease confirm this URL corresponds to the Varomet server you're currently connected to.";

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = {};
    ::GetClassNameW(window, name, 64);
    return name;
}

// Through a message with a time-out: the window's thread may be busy.
std::wstring TextOf(HWND window) {
    if (!window) return L"<no window>";
    wchar_t text[1024] = {};
    DWORD_PTR copied = 0;
    if (!::SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000,
                               &copied))
        return L"<no answer>";
    return std::wstring(text, copied);
}

std::vector<HWND> BoxesOf(DWORD threadId) {
    std::vector<HWND> boxes;
    ::EnumThreadWindows(
        threadId,
        [](HWND window, LPARAM found) -> BOOL {
            if (ClassOf(window) == L"#32770") reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&boxes));
    return boxes;
}

// The longest text of the box's static controls: the question (the icon's has none).
std::wstring QuestionOf(HWND box) {
    std::vector<HWND> statics;
    ::EnumChildWindows(
        box,
        [](HWND child, LPARAM found) -> BOOL {
            if (::CompareStringOrdinal(ClassOf(child).c_str(), -1, L"Static", -1, TRUE) == CSTR_EQUAL)
                reinterpret_cast<std::vector<HWND>*>(found)->push_back(child);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&statics));
    std::wstring longest;
    for (HWND child : statics) {
        std::wstring text = TextOf(child);
        if (text.size() > longest.size()) longest = text;
    }
    return longest;
}

struct Labels {
    std::wstring yes, no;
};

// Polls until the hook relabelled the buttons (it does when the box activates), or the time-out.
Labels WaitForLabels(HWND box, DWORD milliseconds) {
    const ULONGLONG end = ::GetTickCount64() + milliseconds;
    Labels labels;
    do {
        labels = {TextOf(::GetDlgItem(box, IDYES)), TextOf(::GetDlgItem(box, IDNO))};
        if (labels.yes == L"Only this time" && labels.no == L"Always") break;
        ::Sleep(50);
    } while (::GetTickCount64() < end);
    return labels;
}

// One request dispatched on a thread of its own, as a client thread of the server does. Its
// popup is never left open: the destructor closes whatever box the thread still shows.
class PopupRequest {
public:
    explicit PopupRequest(std::string request, std::function<void()> before = {}, std::function<void()> after = {})
        : thread_([this, request = std::move(request), before = std::move(before), after = std::move(after)] {
              threadId_.store(::GetCurrentThreadId());
              if (before) before();
              JSON::ValuePtr content;
              rc_ = Backbone::Process(request, content);
              content_ = content ? content->Dump() : "<none>";
              if (after) after();
              done_.store(true);
          }) {}
    ~PopupRequest() {
        const ULONGLONG end = ::GetTickCount64() + kWait;
        while (!done_.load() && ::GetTickCount64() < end) {
            for (HWND box : BoxesOf(threadId_.load())) ::PostMessageW(box, WM_CLOSE, 0, 0);
            ::Sleep(100);
        }
        thread_.join();
    }
    PopupRequest(const PopupRequest&) = delete;
    PopupRequest& operator=(const PopupRequest&) = delete;

    // The thread's box, once it is shown.
    HWND WaitForBox(DWORD milliseconds) const {
        const ULONGLONG end = ::GetTickCount64() + milliseconds;
        do {
            for (HWND box : BoxesOf(threadId_.load()))
                if (::IsWindowVisible(box)) return box;
            ::Sleep(50);
        } while (::GetTickCount64() < end && !done_.load());
        return nullptr;
    }
    bool WaitForAnswer(DWORD milliseconds) const {
        const ULONGLONG end = ::GetTickCount64() + milliseconds;
        while (!done_.load() && ::GetTickCount64() < end) ::Sleep(20);
        return done_.load();
    }
    // Valid once answered.
    int Rc() const { return rc_; }
    const std::string& Content() const { return content_; }

private:
    std::atomic<DWORD> threadId_{0};
    std::atomic<bool> done_{false};
    int rc_ = -1;
    std::string content_;
    std::thread thread_;
};

enum class UserAction { CloseBox, Escape, PressOnlyThisTime, PressAlways };

void Act(HWND box, UserAction action) {
    switch (action) {
    case UserAction::CloseBox:
        ::PostMessageW(box, WM_CLOSE, 0, 0);
        break;
    case UserAction::Escape:
        ::PostMessageW(box, WM_KEYDOWN, VK_ESCAPE, 0);
        break;
    case UserAction::PressOnlyThisTime:
        ::PostMessageW(::GetDlgItem(box, IDYES), BM_CLICK, 0, 0);
        break;
    case UserAction::PressAlways:
        ::PostMessageW(::GetDlgItem(box, IDNO), BM_CLICK, 0, 0);
        break;
    }
}

// Waits for the request's box, checks its relabelled buttons and acts as the user: the request's
// content, or what it did not come to.
std::string AnswerRelabelledBox(const PopupRequest& request, UserAction action) {
    HWND box = request.WaitForBox(kWait);
    if (!box) return "<no box>";
    const Labels labels = WaitForLabels(box, kWait);
    EXPECT_EQ(Narrow(labels.yes), "Only this time");
    EXPECT_EQ(Narrow(labels.no), "Always");
    Act(box, action);
    return request.WaitForAnswer(kWait) ? request.Content() : "<no answer>";
}

class Popup : public ::testing::Test {
protected:
    RecordingSink sink;
    ScopedLogSink installedSink{sink};
};

TEST_F(Popup, ShowsTheQuestionWithRelabelledButtonsAndAnswersWhatTheUserDid) {
    struct Case {
        const char* name;
        std::string request;
        std::wstring question;
        UserAction action;
        const char* content;
        const char* logged;
    };
    const Case cases[] = {
        {"exe closed", R"({"op": "exe", "args": "C:\\Program Files\\App\\app.exe"})",
         kExeBefore + L"C:\\Program Files\\App\\app.exe" + kExeAfter, UserAction::CloseBox, "40",
         "[Backbone::MakePopup]IDCANCEL"},
        {"url escaped", R"({"op": "url", "args": "https://varomet.example/\u00e9"})",
         kUrlBefore + L"https://varomet.example/\u00e9" + kUrlAfter, UserAction::Escape, "40",
         "[Backbone::MakePopup]IDCANCEL"},
        {"exe once", R"({"op": "exe", "args": "C:\\a.exe", "cinfo": {"x": 1}})", kExeBefore + L"C:\\a.exe" + kExeAfter,
         UserAction::PressOnlyThisTime, "42", "[Backbone::MakePopup]IDYES"},
        {"url always", R"({"op": "url", "args": "https://b.example"})", kUrlBefore + L"https://b.example" + kUrlAfter,
         UserAction::PressAlways, "43", "[Backbone::MakePopup]IDNO"},
        // Any kind but a string or a number is the empty text, and the question is still asked.
        {"exe object", R"({"op": "exe", "args": {"path": "C:\\a.exe"}})", kExeBefore + kExeAfter,
         UserAction::PressOnlyThisTime, "42", "[Backbone::MakePopup]IDYES"},
        {"url array", R"({"op": "url", "args": ["https://b.example"]})", kUrlBefore + kUrlAfter, UserAction::CloseBox,
         "40", "[Backbone::MakePopup]IDCANCEL"},
        {"exe null", R"({"op": "exe", "args": null})", kExeBefore + kExeAfter, UserAction::PressAlways, "43",
         "[Backbone::MakePopup]IDNO"},
        {"url number", R"({"op": "url", "args": 12.50})", kUrlBefore + L"12.50" + kUrlAfter, UserAction::CloseBox, "40",
         "[Backbone::MakePopup]IDCANCEL"},
        // Control characters other than line feed and tab would hide or garble the question.
        {"exe controls", R"({"op": "exe", "args": "a\u0001b\rc\nd\te\u001f\u007f\u0085f"})",
         kExeBefore + L"a b c\nd\te   f" + kExeAfter, UserAction::CloseBox, "40", "[Backbone::MakePopup]IDCANCEL"},
    };
    for (const Case& c : cases) {
        RecordingSink fresh;
        ScopedLogSink installedFresh(fresh);
        PopupRequest request(c.request);
        HWND box = request.WaitForBox(kWait);
        ASSERT_NE(box, nullptr) << c.name;
        const Labels labels = WaitForLabels(box, kWait);
        EXPECT_EQ(Narrow(labels.yes), "Only this time") << c.name;
        EXPECT_EQ(Narrow(labels.no), "Always") << c.name;
        EXPECT_EQ(Narrow(TextOf(box)), "Varomet Launcher") << c.name;
        EXPECT_EQ(Narrow(QuestionOf(box)), Narrow(c.question)) << c.name;
        // System-modal: above every other window.
        EXPECT_NE(::GetWindowLongPtrW(box, GWL_EXSTYLE) & WS_EX_TOPMOST, 0) << c.name;
        Act(box, c.action);
        ASSERT_TRUE(request.WaitForAnswer(kWait)) << c.name;
        EXPECT_EQ(request.Rc(), 0) << c.name;
        EXPECT_EQ(request.Content(), c.content) << c.name;
        EXPECT_TRUE(fresh.Has(c.logged)) << c.name << "\n" << fresh.Dump();
        EXPECT_TRUE(fresh.Has("[CBTProc]HCBT_ACTIVATE inc")) << c.name;
        // This test program carries no icon resource.
        EXPECT_TRUE(fresh.Has("[CBTProc]no icon")) << c.name;
        // The log keeps the question's own four line breaks, and none of the client's.
        const std::string shown = fresh.After("[Backbone::MakePopup]try to display messageBox with this message : ");
        EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 4) << c.name << ": " << shown;
        EXPECT_EQ(shown.find('\r'), std::string::npos) << c.name << ": " << shown;
    }
}

// Hooks of the test's own, per thread.
struct TestHook {
    explicit TestHook(HOOKPROC procedure) : hook(::SetWindowsHookExW(WH_CBT, procedure, nullptr, ::GetCurrentThreadId())) {}
    ~TestHook() { Remove(); }
    void Remove() {
        if (hook) ::UnhookWindowsHookEx(hook);
        hook = nullptr;
    }
    HHOOK hook;
};

// Swallows every activation of its thread, as another program's hook might: the box is shown
// but its own hook never sees it activate.
LRESULT CALLBACK SwallowActivation(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE) return 1;
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}
thread_local TestHook* t_swallower = nullptr;
// Lies below the popup's hook: installs the swallower above it when the box is created.
LRESULT CALLBACK InstallSwallowerOnCreate(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND && !t_swallower) t_swallower = new TestHook(&SwallowActivation);
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}
thread_local bool t_probeActivated = false;
LRESULT CALLBACK RecordActivation(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE) t_probeActivated = true;
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

struct ProbeResult {
    bool activated = false;
    std::wstring yes, no;
};
// A window of the thread with buttons 6 and 7, shown and activated: a hook left behind would
// take it for a popup and relabel it.
ProbeResult ProbeActivation() {
    ProbeResult result;
    HWND window = ::CreateWindowExW(0, L"#32770", L"probe", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                                    nullptr, nullptr);
    if (!window) return result;
    ::CreateWindowExW(0, L"BUTTON", L"probe yes", WS_CHILD | WS_VISIBLE, 0, 0, 80, 20, window,
                      reinterpret_cast<HMENU>(IDYES), nullptr, nullptr);
    ::CreateWindowExW(0, L"BUTTON", L"probe no", WS_CHILD | WS_VISIBLE, 90, 0, 80, 20, window,
                      reinterpret_cast<HMENU>(IDNO), nullptr, nullptr);
    t_probeActivated = false;
    {
        TestHook recorder(&RecordActivation);
        ::ShowWindow(window, SW_SHOWNORMAL);
        ::SetActiveWindow(window);
    }
    result.activated = t_probeActivated;
    wchar_t text[64] = {};
    ::GetDlgItemTextW(window, IDYES, text, 64);
    result.yes = text;
    ::GetDlgItemTextW(window, IDNO, text, 64);
    result.no = text;
    ::DestroyWindow(window);
    return result;
}

// The op exists, but a request without "args" never reaches it: no box is shown.
TEST_F(Popup, RequestWithoutArgsIsRefusedBeforeAnyBox) {
    for (const char* request : {R"({"op": "exe"})", R"({"op": "url", "cinfo": {}})"}) {
        JSON::ValuePtr content;
        EXPECT_EQ(Backbone::Process(std::string(request), content), 16) << request;
        EXPECT_EQ(content, nullptr) << request;
    }
    EXPECT_FALSE(sink.Has("[CBTProc]HCBT_ACTIVATE inc"));
    EXPECT_EQ(sink.After("[Backbone::MakePopup]"), "<none>");
}

class FailingHookInstaller final : public PopupHookInstaller {
public:
    HHOOK Install(HOOKPROC) override {
        ::SetLastError(ERROR_HOOK_NEEDS_HMOD);
        return nullptr;
    }
};

// The box's "No" refuses every caption, as a failing SetWindowTextW would.
thread_local WNDPROC t_noButtonProc = nullptr;
LRESULT CALLBACK RefuseCaption(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SETTEXT) return FALSE;
    return ::CallWindowProcW(t_noButtonProc, window, message, wParam, lParam);
}
LRESULT CALLBACK BreakNoButtonOnActivate(int code, WPARAM wParam, LPARAM lParam) {
    HWND no = code == HCBT_ACTIVATE && !t_noButtonProc ? ::GetDlgItem(reinterpret_cast<HWND>(wParam), IDNO) : nullptr;
    if (no) {
        t_noButtonProc = reinterpret_cast<WNDPROC>(
            ::SetWindowLongPtrW(no, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&RefuseCaption)));
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}
thread_local TestHook* t_breaker = nullptr;

// The popup's own hook, and above it one that breaks the box's "No" as the box activates.
class CaptionRefusingInstaller final : public PopupHookInstaller {
public:
    HHOOK Install(HOOKPROC procedure) override {
        const HHOOK hook = ::SetWindowsHookExW(WH_CBT, procedure, nullptr, ::GetCurrentThreadId());
        t_breaker = new TestHook(&BreakNoButtonOnActivate);
        return hook;
    }
};

// A box whose "No" kept its standard caption would answer "Always" to a click on it: such a box
// is never left up, and the answer is 44.
TEST_F(Popup, NoBoxIsLeftUpWithoutItsRelabelledButtons) {
    FailingHookInstaller failing;
    CaptionRefusingInstaller refusing;
    struct Case {
        const char* name;
        PopupHookInstaller* installer;
        const char* logged;
        const char* detail;  // in the rest of that line
    } cases[] = {
        {"no hook", &failing, "[Backbone::MakePopup]Fail to install the hook of the popup, no box shown.",
         "winerr[1428]"},
        {"a caption refused", &refusing, "[CBTProc]Fail to relabel the buttons of the popup, the box is closed.", ""},
    };
    for (const Case& c : cases) {
        RecordingSink fresh;
        ScopedLogSink installedFresh(fresh);
        ScopedPopupHookInstaller installed(*c.installer);
        PopupRequest request(R"({"op": "exe", "args": "C:\\a.exe"})", {}, [] {
            delete t_breaker;
            t_breaker = nullptr;
        });
        ASSERT_TRUE(request.WaitForAnswer(kWait)) << c.name << ": a box waits for its user";
        EXPECT_EQ(request.Rc(), 0) << c.name;
        EXPECT_EQ(request.Content(), "44") << c.name;
        const std::string rest = fresh.After(c.logged);
        EXPECT_NE(rest, "<none>") << c.name << "\n" << fresh.Dump();
        EXPECT_NE(rest.find(c.detail), std::string::npos) << c.name << "\n" << fresh.Dump();
    }
}

// Throws at the hook's own lines, as a logger out of memory would.
class HookLinesThrowSink final : public LogSink {
public:
    void Log(int, std::string_view message) override { Check(message); }
    void LogDeferred(std::string_view message, int) override { Check(message); }
    void ThrowEvent(int, std::string_view, std::uint16_t) override {}

private:
    static void Check(std::string_view message) {
        if (message.rfind("[CBTProc]", 0) == 0) throw std::bad_alloc();
    }
};

TEST_F(Popup, ButtonsAreRelabelledEvenWhenTheHooksLinesCannotBeLogged) {
    HookLinesThrowSink throwing;
    ScopedLogSink installedThrowing(throwing);
    PopupRequest request(R"({"op": "exe", "args": "C:\\a.exe"})");
    EXPECT_EQ(AnswerRelabelledBox(request, UserAction::PressAlways), "43");
}

TEST_F(Popup, HookIsRemovedWhenTheBoxNeverActivates) {
    TestHook* below = nullptr;
    ProbeResult probe;
    PopupRequest request(
        R"({"op": "exe", "args": "C:\\a.exe"})", [&] { below = new TestHook(&InstallSwallowerOnCreate); },
        [&] {
            delete t_swallower;
            t_swallower = nullptr;
            delete below;
            probe = ProbeActivation();
        });
    HWND box = request.WaitForBox(kWait);
    ASSERT_NE(box, nullptr);
    // The box is up without its activation: standard captions.
    EXPECT_NE(Narrow(TextOf(::GetDlgItem(box, IDYES))), "Only this time");
    ::PostMessageW(box, WM_CLOSE, 0, 0);
    ASSERT_TRUE(request.WaitForAnswer(kWait));
    EXPECT_EQ(request.Rc(), 0);
    EXPECT_EQ(request.Content(), "40");
    EXPECT_FALSE(sink.Has("[CBTProc]HCBT_ACTIVATE inc")) << "the box activated after all";
    EXPECT_TRUE(probe.activated) << "the probe window did not activate";
    EXPECT_EQ(Narrow(probe.yes), "probe yes");
    EXPECT_EQ(Narrow(probe.no), "probe no");
}

TEST_F(Popup, TwoPopupsAtOnceAreEachRelabelledAndAnswered) {
    PopupRequest exe(R"({"op": "exe", "args": "C:\\a.exe"})");
    PopupRequest url(R"({"op": "url", "args": "https://b.example"})");
    HWND exeBox = exe.WaitForBox(kWait);
    HWND urlBox = url.WaitForBox(kWait);
    ASSERT_NE(exeBox, nullptr);
    ASSERT_NE(urlBox, nullptr);
    for (HWND box : {exeBox, urlBox}) {
        const Labels labels = WaitForLabels(box, kWait);
        EXPECT_EQ(Narrow(labels.yes), "Only this time");
        EXPECT_EQ(Narrow(labels.no), "Always");
    }
    EXPECT_EQ(Narrow(QuestionOf(exeBox)), Narrow(kExeBefore + L"C:\\a.exe" + kExeAfter));
    EXPECT_EQ(Narrow(QuestionOf(urlBox)), Narrow(kUrlBefore + L"https://b.example" + kUrlAfter));
    Act(urlBox, UserAction::PressAlways);
    ASSERT_TRUE(url.WaitForAnswer(kWait));
    // The other box is still waiting for its user.
    EXPECT_TRUE(::IsWindowVisible(exeBox));
    Act(exeBox, UserAction::CloseBox);
    ASSERT_TRUE(exe.WaitForAnswer(kWait));
    EXPECT_EQ(url.Content(), "43");
    EXPECT_EQ(exe.Content(), "40");
    EXPECT_EQ(url.Rc(), 0);
    EXPECT_EQ(exe.Rc(), 0);
}

// Holds its thread inside the creation of its first window until released.
HANDLE g_held = nullptr;
HANDLE g_release = nullptr;
thread_local bool t_heldOnce = false;
LRESULT CALLBACK HoldOnCreate(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND && !t_heldOnce) {
        t_heldOnce = true;
        ::SetEvent(g_held);
        ::WaitForSingleObject(g_release, kWait);
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

// The first popup's hook is installed, then a whole second popup comes and goes before the
// first box activates: each thread keeps its own hook.
TEST_F(Popup, APopupShownWhileAnotherIsBeingMadeLeavesItsHookAlone) {
    ZYNSysKernelHandle held(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ZYNSysKernelHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_held = held.Get();
    g_release = release.Get();
    TestHook* below = nullptr;
    {
        PopupRequest first(R"({"op": "exe", "args": "C:\\first.exe"})",
                           [&] { below = new TestHook(&HoldOnCreate); }, [&] { delete below; });
        // Released before the first request's end on every path, so that its box can be closed.
        struct Release {
            HANDLE event;
            ~Release() { ::SetEvent(event); }
        } releaseOnExit{release.Get()};
        ASSERT_EQ(::WaitForSingleObject(held.Get(), kWait), WAIT_OBJECT_0);
        {
            PopupRequest second(R"({"op": "url", "args": "https://second.example"})");
            EXPECT_EQ(AnswerRelabelledBox(second, UserAction::PressOnlyThisTime), "42");
        }
        ::SetEvent(release.Get());
        HWND box = first.WaitForBox(kWait);
        ASSERT_NE(box, nullptr);
        const Labels labels = WaitForLabels(box, kWait);
        EXPECT_EQ(Narrow(labels.yes), "Only this time");
        EXPECT_EQ(Narrow(labels.no), "Always");
        EXPECT_EQ(Narrow(QuestionOf(box)), Narrow(kExeBefore + L"C:\\first.exe" + kExeAfter));
        Act(box, UserAction::PressAlways);
        ASSERT_TRUE(first.WaitForAnswer(kWait));
        EXPECT_EQ(first.Content(), "43");
        EXPECT_EQ(first.Rc(), 0);
    }
    g_held = g_release = nullptr;
}

// ---- test mode: the hook presses "Only this time" by itself ----

thread_local Labels t_labelsAtEnd;
// Lies below the popup's hook and outlives it: reads the buttons as the box goes.
LRESULT CALLBACK RecordLabelsOnDestroy(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_DESTROYWND) {
        HWND window = reinterpret_cast<HWND>(wParam);
        if (ClassOf(window) == L"#32770") {
            wchar_t text[64] = {};
            ::GetDlgItemTextW(window, IDYES, text, 64);
            t_labelsAtEnd.yes = text;
            ::GetDlgItemTextW(window, IDNO, text, 64);
            t_labelsAtEnd.no = text;
        }
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

VAROMET_CHILD_CASE(PopupsAnswerThemselvesInTestMode) {
    ::SetEnvironmentVariableW(L"WEX_TRQ_UUID", L"popup-test");
    Config::Init("");
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    const std::string requests[] = {
        R"({"op": "exe", "args": "C:\\a.exe"})",
        R"({"op": "url", "args": "https://b.example"})",
        R"({"op": "exe", "args": {"path": "C:\\a.exe"}})",
    };
    // All at once, each on a thread of its own.
    std::vector<std::future<std::string>> answers;
    for (const std::string& request : requests) {
        answers.push_back(std::async(std::launch::async, [request] {
            TestHook recorder(&RecordLabelsOnDestroy);
            JSON::ValuePtr content;
            const int rc = Backbone::Process(request, content);
            return std::to_string(rc) + "|" + (content ? content->Dump() : "<none>") + "|" +
                   Narrow(t_labelsAtEnd.yes) + "|" + Narrow(t_labelsAtEnd.no);
        }));
    }
    for (auto& answer : answers) std::printf("answer %s\n", answer.get().c_str());
    installedSink.Restore();
    std::printf("%s", sink.Dump().c_str());
    std::fflush(stdout);
    return 0;
}

TEST(PopupTestMode, AllPopupsAtOnceAnswerOnlyThisTimeWithoutAUser) {
    ChildProcess::Result run = ChildProcess::Run("PopupsAnswerThemselvesInTestMode");
    ASSERT_TRUE(run.started) << run.output;
    std::erase(run.output, '\r');
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    const std::string answer = "answer 0|42|Only this time|Always\n";
    std::size_t answers = 0;
    for (std::size_t at = run.output.find(answer); at != std::string::npos; at = run.output.find(answer, at + 1))
        ++answers;
    EXPECT_EQ(answers, 3u) << run.output;
    for (const char* line : {"[CBTProc]HCBT_ACTIVATE inc\n", "[CBTProc]test mode: pressing IDYES\n",
                             "[Backbone::MakePopup]IDYES\n"}) {
        std::size_t count = 0;
        for (std::size_t at = run.output.find(line); at != std::string::npos; at = run.output.find(line, at + 1))
            ++count;
        EXPECT_EQ(count, 3u) << line << run.output;
    }
}

// ---- the product ----

TEST(PopupProduct, OneShotPopupsInTestModeAnswerWithTheProgramsIcon) {
    struct Case {
        std::vector<std::wstring> args;
        const char* asked;
    };
    const Case cases[] = {
        {{L"exe", L"C:\\a.exe"}, "[Backbone::Process]Asking user to validate Application executable : C:\\a.exe"},
        {{L"url", L"https://b.example"},
         "[Backbone::Process]Asking user to validate the use of external URL for encryption : https://b.example"},
    };
    for (const Case& c : cases) {
        TestFolder folder;
        ProductRun run = RunProduct(folder, c.args, {{L"WEX_TRQ_UUID", L"popup-test"}});
        EXPECT_EQ(run.exitCode, 0u) << run.output;
        for (const char* line : {c.asked, "[CBTProc]HCBT_ACTIVATE inc", "[CBTProc]icon found",
                                 "[CBTProc]test mode: pressing IDYES", "[Backbone::MakePopup]IDYES"}) {
            EXPECT_NE(run.output.find(std::string(line) + "\n"), std::string::npos) << line << "\n" << run.output;
        }
    }
}

TEST(PopupProduct, RequestsOverThePipeInTestModeAreAnswered42EvenTwoAtOnce) {
    TestFolder folder;
    const std::wstring pipe = UniquePipeName();
    Launcher launcher(folder, {L"run", pipe}, {{L"WEX_TRQ_UUID", L"popup-test"}});
    ASSERT_TRUE(WaitForPipe(pipe, kWait)) << launcher.Output();
    auto exe = std::async(std::launch::async,
                          [&] { return Exchange(pipe, R"({"op": "exe", "args": "C:\\a.exe"})"); });
    auto url = std::async(std::launch::async,
                          [&] { return Exchange(pipe, R"({"op": "url", "args": {"u": "https://b.example"}})"); });
    for (auto* answer : {&exe, &url}) {
        Reply reply = answer->get();
        EXPECT_EQ(reply.error, 0u);
        EXPECT_EQ(reply.text, "{\"rc\": 0, \"content\": 42}");
    }
    PipeClient client;
    ASSERT_EQ(client.Open(pipe), 0u);
    EXPECT_EQ(client.Write("STOP"), 0u);
    EXPECT_EQ(launcher.WaitForExit(15000), 0u) << launcher.Output();
}

}  // namespace
