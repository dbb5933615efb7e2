// The status callback and the dialog prompt, without a server.

#include <gtest/gtest.h>

#include "QORHttpAsyncWDriver.h"
#include "QORHttpInternetInfo.h"
#include "QORHttpPrompt.h"

namespace {

struct InfoDeleter {
    void operator()(QORHttpInternetInfo* info) const { info->Release(); }
};
using InfoPtr = std::unique_ptr<QORHttpInternetInfo, InfoDeleter>;

bool Signalled(QOREvent* event) { return WaitForSingleEvent(event, 0) == 0; }

TEST(InetCallBackFn, NoticesUpdateTheRequestsInternetInfo) {
    const auto fake = reinterpret_cast<HINTERNET>(static_cast<std::uintptr_t>(0x1000));
    struct Case {
        const char* name;
        DWORD status;
        std::uint32_t operation;
        std::uint32_t receivedBefore;
        bool withResult;
        DWORD_PTR resultHandle;
        DWORD resultError;
        std::uint32_t receivedAfter;
        std::uint8_t connectionClosed;
        std::uint32_t lastError;
        bool complete, close, created;
        HINTERNET connection;
    } cases[] = {
        {"bytes received", INTERNET_STATUS_RESPONSE_RECEIVED, 0, 5, false, 0, 0, 5 + 1234, 0, 0, false, false, false, nullptr},
        {"closed before any byte", INTERNET_STATUS_CONNECTION_CLOSED, 0, 0, false, 0, 0, 0, 1, 0, false, false, false, nullptr},
        {"closing before any byte", INTERNET_STATUS_CLOSING_CONNECTION, 0, 0, false, 0, 0, 0, 1, 0, false, false, false, nullptr},
        {"closed after the answer", INTERNET_STATUS_CONNECTION_CLOSED, 0, 10, false, 0, 0, 10, 0, 0, false, false, false, nullptr},
        {"read complete with a time-out", INTERNET_STATUS_REQUEST_COMPLETE, QORHttpInternetInfo::kRead, 0, true, 0,
         ERROR_INTERNET_TIMEOUT, 0, 0, 0x80072EE2, true, false, false, nullptr},
        {"send complete", INTERNET_STATUS_REQUEST_COMPLETE, QORHttpInternetInfo::kSend, 0, true, 1, 0, 0, 0, 0, true,
         false, false, nullptr},
        {"close complete", INTERNET_STATUS_REQUEST_COMPLETE, QORHttpInternetInfo::kClose, 0, true, 1, 0, 0, 0, 0,
         false, true, false, nullptr},
        {"complete without a result", INTERNET_STATUS_REQUEST_COMPLETE, QORHttpInternetInfo::kEndRequest, 0, false, 0, 0,
         0, 0, 0x80074005, true, false, false, nullptr},
        {"connection created", INTERNET_STATUS_HANDLE_CREATED, QORHttpInternetInfo::kConnect, 0, true, 0x2000, 0, 0, 0,
         0, false, false, true, reinterpret_cast<HINTERNET>(static_cast<std::uintptr_t>(0x2000))},
        {"connection failed", INTERNET_STATUS_HANDLE_CREATED, QORHttpInternetInfo::kConnect, 0, true, 0,
         ERROR_INTERNET_CANNOT_CONNECT, 0, 0, 0x80072EFD, false, false, true, nullptr},
    };
    for (const Case& c : cases) {
        InfoPtr info(QORHttpInternetInfo::Create());
        ASSERT_TRUE(info) << c.name;
        info->operation = c.operation;
        info->receivedBytes = c.receivedBefore;
        info->lastError = 0x12345;
        DWORD size = 1234;
        INTERNET_ASYNC_RESULT result{c.resultHandle, c.resultError};
        void* data = c.status == INTERNET_STATUS_RESPONSE_RECEIVED ? static_cast<void*>(&size)
                     : c.withResult                                 ? static_cast<void*>(&result)
                                                                    : nullptr;
        const DWORD length = c.status == INTERNET_STATUS_RESPONSE_RECEIVED ? sizeof size
                             : c.withResult                                 ? sizeof result
                                                                            : 0;
        QORHttpAsyncWDriver::inetCallBackFn(fake, reinterpret_cast<DWORD_PTR>(info.get()), c.status, data, length);
        EXPECT_EQ(info->receivedBytes, c.receivedAfter) << c.name;
        EXPECT_EQ(info->connectionClosed.load(), c.connectionClosed) << c.name;
        EXPECT_EQ(info->lastError.load(), c.lastError) << c.name;
        EXPECT_EQ(Signalled(info->completeEvent.get()), c.complete) << c.name;
        EXPECT_EQ(Signalled(info->closeEvent.get()), c.close) << c.name;
        EXPECT_EQ(Signalled(info->handleEvent.get()), c.created) << c.name;
        EXPECT_EQ(info->connection, c.connection) << c.name;
        // Never the callback's to own.
        static_cast<void>(info->request.Take());
    }
}

TEST(InternetInfo, ReferencesKeepItUntilTheLastRelease) {
    QORHttpInternetInfoRef first(QORHttpInternetInfo::Create());
    ASSERT_TRUE(first);
    {
        QORHttpInternetInfoRef second = first;
        EXPECT_EQ(first->References(), 2);
    }
    EXPECT_EQ(first->References(), 1);
}

TEST(DialogPrompt, NobodyIsAskedOutsideAnInteractiveSession) {
    struct Case {
        const char* name;
        DWORD error;
    } cases[] = {
        {"credentials", ERROR_INTERNET_INCORRECT_PASSWORD},
        {"certificate authority", ERROR_INTERNET_INVALID_CA},
        {"certificate name", ERROR_INTERNET_SEC_CERT_CN_INVALID},
    };
    QORHttpDialogPrompt prompt([] { return false; });
    for (const Case& c : cases) {
        // The error comes back unchanged: no dialog, nothing else answered.
        EXPECT_EQ(prompt.Ask(nullptr, c.error, nullptr), c.error) << c.name;
    }
}

}  // namespace
