// What the facades hand their driver: per-request options, flags, hooks, the error-body read,
// and the driver swap by scheme when "HTTPDriver" is set (a child process per value).

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "QORHttpDirectFacade.h"
#include "RecordingHttpDriver.h"

namespace {

constexpr HRESULT kNoDriver = static_cast<HRESULT>(0xFFFFFFFF);
constexpr HRESULT kNotSupported = static_cast<HRESULT>(0xFFFFFFF6);
constexpr const char* kUrl = "http://h/a";
void* const kCallback = reinterpret_cast<void*>(0x1234);

class NoStreamer final : public QORHttpStreamer {
public:
    HRESULT GetSize(std::uint64_t*, std::uint32_t*) override { return E_NOTIMPL; }
    HRESULT GetNext(const char**, std::uint32_t*, std::uint32_t*) override { return E_NOTIMPL; }
    HRESULT Rewind() override { return E_NOTIMPL; }
};

// The outputs a call may fill; texts are freed at the end.
struct Outputs {
    ~Outputs() {
        std::free(body);
        std::free(text);
    }
    char* body = nullptr;
    char* text = nullptr;
    std::uint64_t length = 0;
    std::uint32_t keepAlive = 0;
    std::uint32_t index = 0;
    std::uint32_t textLength = 0;
    std::uint32_t done = 0;
    std::uint32_t option = 0;
    std::uint32_t optionLength = sizeof(std::uint32_t);
    struct _stat64 stat {};
    NoStreamer streamer;
};

using Call = HRESULT (*)(QORHttpFacade&, Outputs&);

// The tests in this process run as if "HTTPDriver" were not set; its swaps are tested in
// children.
class QORHttpFacadeTest : public ::testing::Test {
protected:
    void SetUp() override { ::SetEnvironmentVariableA("HTTPDriver", nullptr); }
};

// The facade of the given kind on a recording W1 driver with the callback set; the log is
// emptied after that preparation.
std::unique_ptr<QORHttpFacade> Prepared(RecordingDriverFactory& factory, bool direct) {
    std::unique_ptr<QORHttpFacade> facade =
        direct ? std::unique_ptr<QORHttpFacade>(new QORHttpDirectFacade("agent", 1, 1))
               : std::make_unique<QORHttpFacade>("agent", 1, 1, 0);
    facade->SetCallback(kCallback);
    factory.log.clear();
    return facade;
}

TEST_F(QORHttpFacadeTest, EachSlotHandsTheDriverItsOptionsFlagsAndOutputs) {
    const std::string callback = "W1 SetOptions 10000 0x1234\n";
    const std::string noBody = "W1 SetOptions 10001 0\n";
    const std::string callerReads = "W1 SetOptions 10001 65536\n";
    struct Case {
        const char* name;
        bool direct;
        Call call;
        std::string expected;
        HRESULT result;
    } cases[] = {
        {"Get", false, [](QORHttpFacade& f, Outputs& o) { return f.Get(kUrl, 0x11, &o.keepAlive); },
         noBody + callback + callerReads + "W1 Get http://h/a 0x400010 - - ka\n", 0},
        {"GetWithBody", false,
         [](QORHttpFacade& f, Outputs& o) { return f.GetWithBody(kUrl, 0x11, &o.body, &o.length, &o.keepAlive); },
         callback + callerReads + "W1 Get http://h/a 0x400010 body len ka\n", 0},
        {"GetRange", false,
         [](QORHttpFacade& f, Outputs& o) { return f.GetRange(kUrl, 0x11, 0, 100, 50, &o.keepAlive); },
         noBody + callback + callerReads + "W1 GetRange http://h/a 0x400010 0 100 50 - - ka\n", 0},
        {"GetRangeWithBody", false,
         [](QORHttpFacade& f, Outputs& o) {
             return f.GetRangeWithBody(kUrl, 0x11, 2, 0, 500, &o.body, &o.length, &o.keepAlive);
         },
         callback + callerReads + "W1 GetRange http://h/a 0x400010 2 0 500 body len ka\n", 0},
        {"PostStream", false,
         [](QORHttpFacade& f, Outputs& o) { return f.PostStream(kUrl, 0x11, 5, &o.streamer, &o.keepAlive); },
         noBody + callback + callerReads + "W1 PostStream http://h/a 0x400010 5 streamer - - ka\n", 0},
        {"Post", false, [](QORHttpFacade& f, Outputs& o) { return f.Post(kUrl, 0x11, "hello", 5, 2, &o.keepAlive); },
         noBody + callback + callerReads + "W1 Post http://h/a 0x400010 hello 5 2 - - ka\n", 0},
        {"PostStreamWithBody", false,
         [](QORHttpFacade& f, Outputs& o) {
             return f.PostStreamWithBody(kUrl, 0x11, 5, &o.streamer, &o.keepAlive, &o.body, &o.length);
         },
         callback + callerReads + "W1 PostStream http://h/a 0x400010 5 streamer body len ka\n", 0},
        {"PostWithBody", false,
         [](QORHttpFacade& f, Outputs& o) {
             return f.PostWithBody(kUrl, 0x11, "hello", 5, 2, &o.keepAlive, &o.body, &o.length);
         },
         callback + callerReads + "W1 Post http://h/a 0x400010 hello 5 2 body len ka\n", 0},
        {"Put", false,
         [](QORHttpFacade& f, Outputs& o) { return f.Put(kUrl, 0x11, "hello", 5, 3, &o.keepAlive, &o.body, &o.length); },
         noBody + "W1 Put http://h/a 0x400010 hello 5 3 body len ka\n", 0},
        {"NotSupported", false, [](QORHttpFacade& f, Outputs&) { return f.NotSupported(); }, "", kNotSupported},
        {"Head", false, [](QORHttpFacade& f, Outputs& o) { return f.Head(kUrl, &o.stat); },
         noBody + "W1 Head http://h/a 0x0 stat\n", 0},
        {"Options", false, [](QORHttpFacade& f, Outputs&) { return f.Options(kUrl, 0x11); },
         "W1 Options http://h/a 0x400010\n", 0},
        {"Delete", false, [](QORHttpFacade& f, Outputs& o) { return f.Delete(kUrl, 0x11, &o.keepAlive); },
         noBody + "W1 Delete http://h/a 0x11 - - ka\n", 0},
        {"DeleteWithBody", false,
         [](QORHttpFacade& f, Outputs& o) { return f.Delete(kUrl, 0x11, &o.body, &o.length, &o.keepAlive); },
         noBody + "W1 Delete http://h/a 0x11 body len ka\n", 0},
        {"OpenRequest", false, [](QORHttpFacade& f, Outputs&) { return f.OpenRequest("GET", kUrl, 0x11, nullptr); },
         callback + "W1 OpenRequest GET http://h/a 0x11 -\n", 0},
        {"SendRequest", false, [](QORHttpFacade& f, Outputs&) { return f.SendRequest("abc", 3); },
         "W1 OnRequestStart\nW1 SendRequest abc 3 1\nW1 OnRequestEnd 1\n", 0},
        {"SetOptions", false,
         [](QORHttpFacade& f, Outputs&) {
             const std::uint32_t value = 30000;
             return f.SetOptions(6, &value, sizeof value);
         },
         "W1 SetOptions 6 30000\n", 0},
        {"SetCallback", false, [](QORHttpFacade& f, Outputs&) { return f.SetCallback(reinterpret_cast<void*>(0x5678)); },
         "W1 SetOptions 10000 0x5678\n", 0},

        {"direct Get", true, [](QORHttpFacade& f, Outputs& o) { return f.Get(kUrl, 0x11, &o.keepAlive); },
         noBody + callback + callerReads + "W1 Get http://h/a 0x400010 - - ka\n", 0},
        {"direct GetWithBody", true,
         [](QORHttpFacade& f, Outputs& o) { return f.GetWithBody(kUrl, 0x11, &o.body, &o.length, &o.keepAlive); },
         "W1 Get http://h/a 0x400010 body len ka\n", 0},
        {"direct GetRangeWithBody", true,
         [](QORHttpFacade& f, Outputs& o) {
             return f.GetRangeWithBody(kUrl, 0x11, 2, 0, 500, &o.body, &o.length, &o.keepAlive);
         },
         "W1 GetRange http://h/a 0x400010 2 0 500 body len ka\n", 0},
        {"direct PostWithBody", true,
         [](QORHttpFacade& f, Outputs& o) {
             return f.PostWithBody(kUrl, 0x11, "hello", 5, 2, &o.keepAlive, &o.body, &o.length);
         },
         "W1 Post http://h/a 0x400010 hello 5 2 body len ka\n", 0},
        {"direct Put", true,
         [](QORHttpFacade& f, Outputs& o) { return f.Put(kUrl, 0x11, "hello", 5, 3, &o.keepAlive, &o.body, &o.length); },
         "W1 Put http://h/a 0x400010 hello 5 3 body len ka\n", 0},
        {"direct NotSupported", true, [](QORHttpFacade& f, Outputs&) { return f.NotSupported(); }, "", kNotSupported},
        {"direct Head", true, [](QORHttpFacade& f, Outputs& o) { return f.Head(kUrl, &o.stat); },
         "W1 Head http://h/a 0x0 stat\n", 0},
        {"direct Delete", true, [](QORHttpFacade& f, Outputs& o) { return f.Delete(kUrl, 0x11, &o.keepAlive); },
         "W1 Delete http://h/a 0x11 - - ka\n", 0},
        {"direct OpenRequest", true,
         [](QORHttpFacade& f, Outputs&) { return f.OpenRequest("GET", kUrl, 0x11, nullptr); },
         "W1 OpenRequest GET http://h/a 0x11 -\n", 0},
        {"direct SendRequest", true, [](QORHttpFacade& f, Outputs&) { return f.SendRequest("abc", 3); },
         "W1 SendRequest abc 3 1\n", 0},
        {"direct SendRawData", true, [](QORHttpFacade& f, Outputs&) { return f.SendRawData(nullptr, 0); },
         "W1 SendRawData - 0\n", 0},
    };
    for (const Case& c : cases) {
        RecordingDriverFactory factory;
        std::unique_ptr<QORHttpFacade> facade = Prepared(factory, c.direct);
        Outputs outputs;
        EXPECT_EQ(c.call(*facade, outputs), c.result) << c.name;
        EXPECT_EQ(factory.Lines(), c.expected) << c.name;
    }
}

TEST_F(QORHttpFacadeTest, KeepConnectionRewriteTakesOnlyALowNibbleOfOne) {
    const struct Case {
        std::uint32_t flags;
        const char* handed;
    } cases[] = {
        {0x11, "0x400010"}, {0x21, "0x400020"}, {0x2, "0x2"},           {0x1, "0x400000"},
        {0x0, "0x0"},       {0x12, "0x12"},     {0x400001, "0x400000"}, {0x80000031, "0x80400030"},
    };
    for (const Case& c : cases) {
        RecordingDriverFactory factory;
        QORHttpDirectFacade facade("agent", 1, 1);
        factory.log.clear();
        facade.Options(kUrl, c.flags);
        EXPECT_EQ(factory.Lines(), std::string("W1 Options http://h/a ") + c.handed + "\n") << std::hex << c.flags;
    }
}

TEST_F(QORHttpFacadeTest, ABodyVerbSentWithoutItsBodyStaysOpenUntilTheLastRawPiece) {
    struct Case {
        const char* name;
        bool direct;
        const char* verb;
        Call then;
        std::string expected;
    } cases[] = {
        {"POST, pieces", false, "POST",
         [](QORHttpFacade& f, Outputs&) {
             f.SendRequest(nullptr, 0);
             f.SendRawData("ab", 2);
             return f.SendRawData(nullptr, 0);
         },
         "W1 OnRequestStart\nW1 SendRequest - 0 0\nW1 SendRawData ab 2\nW1 SendRawData - 0\nW1 OnRequestEnd 1\n"},
        {"PUT with its body", false, "PUT", [](QORHttpFacade& f, Outputs&) { return f.SendRequest("abc", 3); },
         "W1 OnRequestStart\nW1 SendRequest abc 3 1\nW1 OnRequestEnd 1\n"},
        {"post in lower case", false, "post", [](QORHttpFacade& f, Outputs&) { return f.SendRequest(nullptr, 0); },
         "W1 OnRequestStart\nW1 SendRequest - 0 0\nW1 OnRequestEnd 1\n"},
        {"GET", false, "GET", [](QORHttpFacade& f, Outputs&) { return f.SendRequest(nullptr, 0); },
         "W1 OnRequestStart\nW1 SendRequest - 0 0\nW1 OnRequestEnd 1\n"},
        {"PATCH, then a request wrapper", false, "PATCH",
         [](QORHttpFacade& f, Outputs&) {
             f.NotSupported();
             return f.SendRequest(nullptr, 0);
         },
         "W1 OnRequestStart\nW1 SendRequest - 0 0\nW1 OnRequestEnd 1\n"},
        {"direct POST", true, "POST",
         [](QORHttpFacade& f, Outputs&) {
             f.SendRequest(nullptr, 0);
             return f.SendRawData(nullptr, 0);
         },
         "W1 SendRequest - 0 0\nW1 SendRawData - 0\n"},
    };
    for (const Case& c : cases) {
        RecordingDriverFactory factory;
        std::unique_ptr<QORHttpFacade> facade =
            c.direct ? std::unique_ptr<QORHttpFacade>(new QORHttpDirectFacade("agent", 1, 1))
                     : std::make_unique<QORHttpFacade>("agent", 1, 1, 0);
        facade->OpenRequest(c.verb, kUrl, 0, nullptr);
        factory.log.clear();
        Outputs outputs;
        c.then(*facade, outputs);
        EXPECT_EQ(factory.Lines(), c.expected) << c.name;
    }
}

TEST_F(QORHttpFacadeTest, AFailedSendEndsTheRequestWithTheFailureHook) {
    RecordingDriverFactory factory;
    QORHttpFacade facade("agent", 1, 1, 0);
    factory.latest->sendResult = static_cast<HRESULT>(0x80072EFE);
    factory.log.clear();
    EXPECT_EQ(facade.SendRequest("abc", 3), static_cast<HRESULT>(0x80072EFE));
    EXPECT_EQ(factory.Lines(), "W1 OnRequestStart\nW1 SendRequest abc 3 1\nW1 OnRequestEnd 0\n");
}

TEST_F(QORHttpFacadeTest, OnlyAKeptClientOrServerErrorBodyIsReadAfterTheRequest) {
    constexpr HRESULT kDownloaded = 7;
    const struct Case {
        const char* name;
        HRESULT result;
        std::uint64_t length;
        std::uint32_t keepErrorBody;
        bool lengthOutput;
        HRESULT expected;
    } cases[] = {
        {"404 not kept", -404, 0, 0, true, -404},
        {"404 kept", -404, 0, 1, true, kDownloaded},
        {"400 kept", -400, 0, 1, true, -400},
        {"401 kept", -401, 0, 1, true, kDownloaded},
        {"599 kept", -599, 0, 1, true, kDownloaded},
        {"600 kept", -600, 0, 1, true, -600},
        {"404 kept, no length output", -404, 0, 1, false, -404},
        {"transport failure kept", static_cast<HRESULT>(0x80072EE2), 0, 1, true, static_cast<HRESULT>(0x80072EE2)},
        {"success, nothing left", 0, 0, 0, true, 0},
        {"success, a body left", 0, 12, 0, true, kDownloaded},
    };
    for (const Case& c : cases) {
        RecordingDriverFactory factory;
        factory.result = c.result;
        factory.length = c.length;
        QORHttpFacade facade("agent", 1, 1, 0);
        factory.latest->downloadResult = kDownloaded;
        ASSERT_EQ(facade.SetOptions(QORHTTP_KEEP_ERROR_BODY, &c.keepErrorBody, sizeof c.keepErrorBody), 0) << c.name;
        Outputs outputs;
        EXPECT_EQ(facade.GetWithBody(kUrl, 0, &outputs.body, c.lengthOutput ? &outputs.length : nullptr, nullptr),
                  c.expected)
            << c.name;
        const bool downloaded = c.expected == kDownloaded;
        EXPECT_EQ(factory.Lines().find("W1 Download\n") != std::string::npos, downloaded) << c.name;
        EXPECT_STREQ(outputs.body, downloaded ? "error body" : nullptr) << c.name;
    }
}

TEST_F(QORHttpFacadeTest, KeepErrorBodyOfAnotherLengthIsRefusedAndNotHandedOn) {
    RecordingDriverFactory factory;
    factory.result = -404;
    QORHttpFacade facade("agent", 1, 1, 0);
    factory.log.clear();
    const std::uint32_t keep = 1;
    EXPECT_EQ(facade.SetOptions(QORHTTP_KEEP_ERROR_BODY, &keep, 2), E_INVALIDARG);
    EXPECT_EQ(factory.Lines(), "");
    Outputs outputs;
    EXPECT_EQ(facade.GetWithBody(kUrl, 0, &outputs.body, &outputs.length, nullptr), -404);
}

TEST_F(QORHttpFacadeTest, WithoutADriverEveryOperationAnswersMinusOne) {
    RecordingDriverFactory factory;
    factory.makesWinINet = false;
    QORHttpDirectFacade direct("agent", 1, 1);
    QORHttpFacade base("agent", 1, 1, 0);
    const struct Case {
        const char* name;
        Call call;
        HRESULT expected;
    } cases[] = {
        {"SetCallback", [](QORHttpFacade& f, Outputs&) { return f.SetCallback(kCallback); }, E_FAIL},
        {"NotSupported", [](QORHttpFacade& f, Outputs&) { return f.NotSupported(); }, kNotSupported},
        {"Get", [](QORHttpFacade& f, Outputs& o) { return f.Get(kUrl, 0, &o.keepAlive); }, kNoDriver},
        {"GetWithBody", [](QORHttpFacade& f, Outputs& o) { return f.GetWithBody(kUrl, 0, &o.body, &o.length, nullptr); },
         kNoDriver},
        {"OpenRequest", [](QORHttpFacade& f, Outputs&) { return f.OpenRequest("POST", kUrl, 0, nullptr); }, kNoDriver},
        {"SendRequest", [](QORHttpFacade& f, Outputs&) { return f.SendRequest("abc", 3); }, kNoDriver},
        {"SetOptions",
         [](QORHttpFacade& f, Outputs&) {
             const std::uint32_t keep = 1;
             return f.SetOptions(QORHTTP_KEEP_ERROR_BODY, &keep, sizeof keep);
         },
         kNoDriver},
    };
    for (const Case& c : cases) {
        Outputs outputs;
        EXPECT_EQ(c.call(base, outputs), c.expected) << c.name;
        EXPECT_EQ(c.call(direct, outputs), c.expected) << "direct " << c.name;
    }
    EXPECT_EQ(factory.Lines(), "make W refused\nmake W refused\n");
}

// ---- "HTTPDriver" in a child per value ---------------------------------------------------------

// Requests through both facades in turn, by scheme; the child prints every driver made,
// built, deleted and asked.
int RunSwapScript(RecordingDriverFactory& factory) {
    const char* urls[] = {"http://h/1", "HTTPS://h/2", "https://h/3", "http://h/4", "https://h/5"};
    {
        QORHttpFacade facade("agent", 1, 0, 0);
        for (const char* url : urls) facade.Get(url, 0, nullptr);
    }
    std::printf("base:\n%s", factory.Lines("SetOptions").c_str());
    factory.log.clear();
    {
        QORHttpDirectFacade facade("agent", 1, 1);
        for (const char* url : urls) {
            char* body = nullptr;
            std::uint64_t length = 0;
            facade.GetWithBody(url, 0, &body, &length, nullptr);
            std::free(body);
        }
    }
    std::printf("direct:\n%s", factory.Lines("SetOptions").c_str());
    return 0;
}

VAROMET_CHILD_CASE(FacadeSwapWithoutBuilder) {
    RecordingDriverFactory factory;
    return RunSwapScript(factory);
}

VAROMET_CHILD_CASE(FacadeSwapWithBuilder) {
    RecordingDriverFactory factory;
    factory.builder = RecordingDriverFactory::Builder::MakesDriver;
    return RunSwapScript(factory);
}

VAROMET_CHILD_CASE(FacadeSwapWithFailingBuilder) {
    RecordingDriverFactory factory;
    factory.builder = RecordingDriverFactory::Builder::MakesNothing;
    factory.makesWinINet = false;
    return RunSwapScript(factory);
}

// The default factory: with "HTTPDriver" set the facade starts with the raw-socket driver and an
// https URL swaps in the WinINet driver; nothing listens on port 9, so both requests fail to connect.
VAROMET_CHILD_CASE(FacadeDefaultFactory) {
    QORHttpDirectFacade facade("agent", 1, 1);
    const std::uint32_t timeout = 30000;
    char* body = nullptr;
    std::uint64_t length = 0;
    std::printf("SetOptions %ld, GetWithBody %ld, https GetWithBody %ld, SetCallback 0x%lx, NotSupported %ld\n",
                static_cast<long>(facade.SetOptions(QORHTTP_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout)),
                static_cast<long>(facade.GetWithBody("http://127.0.0.1:9/x", 0, &body, &length, nullptr)),
                static_cast<long>(facade.GetWithBody("https://127.0.0.1:9/x", 0, &body, &length, nullptr)),
                static_cast<unsigned long>(facade.SetCallback(kCallback)), static_cast<long>(facade.NotSupported()));
    std::free(body);
    return 0;
}

// What a caller set before the request reaches the driver swapped in for it.
VAROMET_CHILD_CASE(FacadeSwapCarriesSettings) {
    RecordingDriverFactory factory;
    QORHttpDirectFacade facade("agent", 1, 1);
    const std::uint32_t timeout = 30000;
    for (std::uint32_t id : {QORHTTP_OPTION_RECEIVE_TIMEOUT, QORHTTP_OPTION_SEND_TIMEOUT,
                             QORHTTP_OPTION_CONNECT_TIMEOUT}) {
        facade.SetOptions(id, &timeout, sizeof timeout);
    }
    facade.SetOptions(QORHTTP_OPTION_USERNAME, "user", 5);
    facade.SetOptions(QORHTTP_OPTION_PASSWORD, "secret", 7);
    const std::uint32_t security = 0x3300;
    facade.SetOptions(QORHTTP_OPTION_SECURITY, &security, sizeof security);
    facade.SetCallback(kCallback);
    factory.log.clear();
    char* body = nullptr;
    std::uint64_t length = 0;
    facade.GetWithBody("https://h/x", 0, &body, &length, nullptr);
    std::free(body);
    std::printf("%s%s %s\n", factory.Lines().c_str(), factory.latest->Name().c_str(),
                factory.latest->Settings().c_str());
    return 0;
}

// What a caller left on the driver before an https request, and then what the driver swapped in
// for it was handed.
int SwapAfter(void (*prepare)(QORHttpFacade&, RecordingDriverFactory&)) {
    RecordingDriverFactory factory;
    QORHttpDirectFacade facade("agent", 1, 1);
    prepare(facade, factory);
    factory.log.clear();
    char* body = nullptr;
    std::uint64_t length = 0;
    facade.GetWithBody("https://h/x", 0, &body, &length, nullptr);
    std::free(body);
    std::printf("%s", factory.Lines().c_str());
    return 0;
}

VAROMET_CHILD_CASE(FacadeSwapAfterACallbackChange) {
    return SwapAfter([](QORHttpFacade& f, RecordingDriverFactory&) {
        f.SetCallback(kCallback);
        f.SetCallback(reinterpret_cast<void*>(0x5678));
    });
}

VAROMET_CHILD_CASE(FacadeSwapAfterTheCallbackIsCleared) {
    return SwapAfter([](QORHttpFacade& f, RecordingDriverFactory&) {
        f.SetCallback(kCallback);
        f.SetCallback(nullptr);
    });
}

VAROMET_CHILD_CASE(FacadeSwapFromADriverWhoseSettingsCannotBeCopied) {
    return SwapAfter([](QORHttpFacade&, RecordingDriverFactory& factory) { factory.latest->HoldUncopyableHeaders(); });
}

VAROMET_CHILD_CASE(FacadeSwapAfterTwoSecurityAndAccessOptions) {
    return SwapAfter([](QORHttpFacade& f, RecordingDriverFactory&) {
        for (const std::uint32_t id : {QORHTTP_OPTION_SECURITY, QORHTTP_OPTION_CONNECT_TYPE}) {
            for (const std::uint32_t flags : {0x100u, 0x3200u}) f.SetOptions(id, &flags, sizeof flags);
        }
    });
}

// The CAS check's way: a header line added before the request.
VAROMET_CHILD_CASE(FacadeSwapAfterAHeaderLine) {
    RecordingDriverFactory factory;
    QORHttpDirectFacade facade("agent", 1, 1);
    facade.AddRequestHeaders("Accept: application/json\r\n", 0x40000000);
    facade.Connection("https://h/x");
    std::printf("%s %s\n", factory.latest->Name().c_str(), factory.latest->Settings().c_str());
    return 0;
}

// A builder that hands back the driver it was given.
VAROMET_CHILD_CASE(FacadeSwapWithABuilderReturningTheCurrentDriver) {
    RecordingDriverFactory factory;
    factory.builder = RecordingDriverFactory::Builder::ReturnsCurrent;
    {
        QORHttpFacade facade("agent", 1, 1, 0);
        facade.Get("https://h/1", 0, nullptr);
        facade.Get("https://h/2", 0, nullptr);
    }
    std::printf("%s", factory.Lines("SetOptions").c_str());
    return 0;
}

// Each wrapper looks at "HTTPDriver" once: set after a wrapper's first request, it reaches
// only the wrappers not used yet.
VAROMET_CHILD_CASE(FacadeReadsTheVariableOncePerWrapper) {
    RecordingDriverFactory factory;
    QORHttpFacade facade("agent", 1, 1, 0);
    facade.Get("http://h/1", 0, nullptr);
    ::SetEnvironmentVariableA("HTTPDriver", "1");
    QORHttpFacade raw("agent", 1, 1, 0);
    raw.Get("https://h/2", 0, nullptr);
    raw.Options("https://h/3", 0);
    std::printf("%s", factory.Lines("SetOptions").c_str());
    return 0;
}

TEST(QORHttpFacadeSwap, TheSchemeChoosesTheDriverOnlyWhenHttpDriverIsSet) {
    const std::string unsetBase =
        "make W1 agent 1.0\nW1 Get http://h/1 0x0 - - -\nW1 Get HTTPS://h/2 0x0 - - -\n"
        "W1 Get https://h/3 0x0 - - -\nW1 Get http://h/4 0x0 - - -\nW1 Get https://h/5 0x0 - - -\nW1 deleted\n";
    const std::string unsetDirect =
        "make W2 agent 1.1\nW2 Get http://h/1 0x0 body len -\nW2 Get HTTPS://h/2 0x0 body len -\n"
        "W2 Get https://h/3 0x0 body len -\nW2 Get http://h/4 0x0 body len -\nW2 Get https://h/5 0x0 body len -\n"
        "W2 deleted\n";
    // https leaves the raw-socket driver for WinINet, which then stays for every scheme.
    const std::string withoutBuilder =
        "base:\nmake D1 agent 1.0\nD1 Get http://h/1 0x0 - - -\nD1 Get HTTPS://h/2 0x0 - - -\n"
        "make W2 agent 1.0\nD1 deleted\nW2 Get https://h/3 0x0 - - -\nW2 Get http://h/4 0x0 - - -\n"
        "W2 Get https://h/5 0x0 - - -\nW2 deleted\n"
        "direct:\nmake D3 agent 1.1\nD3 Get http://h/1 0x0 body len -\nD3 Get HTTPS://h/2 0x0 body len -\n"
        "make W4 agent 1.1\nD3 deleted\nW4 Get https://h/3 0x0 body len -\nW4 Get http://h/4 0x0 body len -\n"
        "W4 Get https://h/5 0x0 body len -\nW4 deleted\n";
    // The builder's driver goes back to raw sockets for plain http.
    const std::string withBuilder =
        "base:\nmake D1 agent 1.0\nD1 Get http://h/1 0x0 - - -\nD1 Get HTTPS://h/2 0x0 - - -\n"
        "build s2 from D1\nD1 deleted\ns2 Get https://h/3 0x0 - - -\nmake D3 agent 1.0\ns2 deleted\n"
        "D3 Get http://h/4 0x0 - - -\nbuild s4 from D3\nD3 deleted\ns4 Get https://h/5 0x0 - - -\ns4 deleted\n"
        "direct:\nmake D5 agent 1.1\nD5 Get http://h/1 0x0 body len -\nD5 Get HTTPS://h/2 0x0 body len -\n"
        "build s6 from D5\nD5 deleted\ns6 Get https://h/3 0x0 body len -\nmake D7 agent 1.1\ns6 deleted\n"
        "D7 Get http://h/4 0x0 body len -\nbuild s8 from D7\nD7 deleted\ns8 Get https://h/5 0x0 body len -\n"
        "s8 deleted\n";
    // A builder that makes nothing leaves the old driver in place, and the request runs on it.
    const std::string failingBuilder =
        "base:\nmake D1 agent 1.0\nD1 Get http://h/1 0x0 - - -\nD1 Get HTTPS://h/2 0x0 - - -\n"
        "build nothing from D1\nD1 Get https://h/3 0x0 - - -\nD1 Get http://h/4 0x0 - - -\n"
        "build nothing from D1\nD1 Get https://h/5 0x0 - - -\nD1 deleted\n"
        "direct:\nmake D2 agent 1.1\nD2 Get http://h/1 0x0 body len -\nD2 Get HTTPS://h/2 0x0 body len -\n"
        "build nothing from D2\nD2 Get https://h/3 0x0 body len -\nD2 Get http://h/4 0x0 body len -\n"
        "build nothing from D2\nD2 Get https://h/5 0x0 body len -\nD2 deleted\n";
    struct Case {
        const char* child;
        std::optional<std::wstring> value;
        std::string expected;
    } cases[] = {
        {"FacadeSwapWithoutBuilder", std::nullopt, "base:\n" + unsetBase + "direct:\n" + unsetDirect},
        {"FacadeSwapWithBuilder", std::nullopt, "base:\n" + unsetBase + "direct:\n" + unsetDirect},
        {"FacadeSwapWithoutBuilder", L"", withoutBuilder},
        {"FacadeSwapWithoutBuilder", L"1", withoutBuilder},
        {"FacadeSwapWithBuilder", L"", withBuilder},
        {"FacadeSwapWithFailingBuilder", L"yes", failingBuilder},
        {"FacadeDefaultFactory", L"",
         "SetOptions 0, GetWithBody -2147012867, https GetWithBody -2147012867, SetCallback 0x0, NotSupported -10\n"},
        {"FacadeReadsTheVariableOncePerWrapper", std::nullopt,
         "make W1 agent 1.1\nW1 Get http://h/1 0x0 - - -\nmake D2 agent 1.1\nD2 Get https://h/2 0x0 - - -\n"
         "make W3 agent 1.1\nD2 deleted\nW3 Options https://h/3 0x0\n"},
    };
    for (const Case& c : cases) {
        const std::string label = std::string(c.child) + " with HTTPDriver " +
                                  (c.value ? "\"" + std::string(c.value->begin(), c.value->end()) + "\"" : "unset");
        const ChildProcess::Result result = ChildProcess::Run(c.child, {{L"HTTPDriver", c.value}});
        ASSERT_TRUE(result.started) << label << ": " << result.output;
        EXPECT_EQ(result.exitCode, 0u) << label;
        EXPECT_EQ(ChildProcess::TextOutput(result), c.expected) << label;
    }
}

TEST(QORHttpFacadeSwap, ADriverSwappedInKeepsTheCallersTimeoutsCredentialsAndCallback) {
    const ChildProcess::Result result = ChildProcess::Run("FacadeSwapCarriesSettings", {{L"HTTPDriver", L""}});
    ASSERT_TRUE(result.started) << result.output;
    EXPECT_EQ(ChildProcess::TextOutput(result),
              "make W2 agent 1.1\n"
              "W2 SetOptions 31 13056\n"
              "W2 SetOptions 10000 0x1234\n"
              "D1 deleted\n"
              "W2 Get https://h/x 0x0 body len -\n"
              "W2 ua=agent rt=30000 st=30000 ct=30000 user=user pwd=secret\n");
}

TEST(QORHttpFacadeSwap, TheDriverSwappedInGetsWhatTheCallerLeftOnTheOldOne) {
    const struct Case {
        const char* child;
        std::string expected;
    } cases[] = {
        {"FacadeSwapAfterACallbackChange",
         "make W2 agent 1.1\nW2 SetOptions 10000 0x5678\nD1 deleted\nW2 Get https://h/x 0x0 body len -\n"},
        {"FacadeSwapAfterTheCallbackIsCleared", "make W2 agent 1.1\nD1 deleted\nW2 Get https://h/x 0x0 body len -\n"},
        // 0x100 then 0x3200 hold 0x3300 (13056) on every driver.
        {"FacadeSwapAfterTwoSecurityAndAccessOptions",
         "make W2 agent 1.1\nW2 SetOptions 31 13056\nW2 SetOptions 1 13056\nD1 deleted\n"
         "W2 Get https://h/x 0x0 body len -\n"},
        // The new driver could not take the caller's settings: the request runs on the old one.
        {"FacadeSwapFromADriverWhoseSettingsCannotBeCopied",
         "make W2 agent 1.1\nW2 deleted\nD1 Get https://h/x 0x0 body len -\n"},
        // The driver stays in use, deleted once with its facade.
        {"FacadeSwapWithABuilderReturningTheCurrentDriver",
         "make D1 agent 1.1\nbuild returns D1\nD1 Get https://h/1 0x0 - - -\nbuild returns D1\n"
         "D1 Get https://h/2 0x0 - - -\nD1 deleted\n"},
        {"FacadeSwapAfterAHeaderLine",
         "W2 ua=agent rt=36000000 st=36000000 ct=9500 user= pwd= headers=Accept: application/json\\r\\n\n"},
    };
    for (const Case& c : cases) {
        const ChildProcess::Result result = ChildProcess::Run(c.child, {{L"HTTPDriver", L""}});
        ASSERT_TRUE(result.started) << c.child << ": " << result.output;
        EXPECT_EQ(result.exitCode, 0u) << c.child;
        EXPECT_EQ(ChildProcess::TextOutput(result), c.expected) << c.child;
    }
}

}  // namespace
