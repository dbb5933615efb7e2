// The ops "bind" and "init": one notice per op on the launcher service's pipe, recorded
// byte for byte by a stand-in for the service.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "Backbone.h"
#include "FakeServicePipe.h"
#include "LauncherTestSupport.h"
#include "LogSink.h"
#include "PipeConnection.h"
#include "ZYNSysKernelHandle.h"

namespace {

constexpr const char* kUuid = "3f2b8c1e-5d4a-4b7e-9c6d-0a1b2c3d4e5f";
constexpr const char* kUpperUuid = "3F2B8C1E-5D4A-4B7E-9C6D-0A1B2C3D4E5F";
constexpr const char* kVersion1Uuid = "3f2b8c1e-5d4a-1b7e-9c6d-0a1b2c3d4e5f";

std::uint32_t OwnSession() {
    DWORD session = 0;
    EXPECT_TRUE(::ProcessIdToSessionId(::GetCurrentProcessId(), &session));
    return session;
}

std::string BindNotice(const std::string& uuid) {
    return "{\"sessionID\": " + std::to_string(OwnSession()) + ", \"uuid\": \"" + uuid + "\"}";
}

struct Answer {
    int rc;
    std::string content;
};

class BindInit : public ::testing::Test {
protected:
    static Answer Run(const std::string& op, const std::string& args) {
        JSON::ValuePtr content;
        const int rc = Backbone::Process("{\"op\": \"" + op + "\", \"args\": " + args + "}", content);
        return {rc, content ? content->Dump() : "<none>"};
    }

    RecordingSink sink;
    ScopedLogSink installedSink{sink};
};

TEST_F(BindInit, WritesOneExactNoticePerOp) {
    struct Case {
        const char* op;
        std::string args;
        std::string notice;
    } cases[] = {
        {"bind", "\"qxlaunch://" + std::string(kUuid) + "/\"", BindNotice(kUuid)},
        {"bind", "\"qxlaunch://" + std::string(kUuid) + "\"", BindNotice(kUuid)},
        {"bind", "\"" + std::string(kUuid) + "\"", BindNotice(kUuid)},
        {"bind", "\"" + std::string(kUpperUuid) + "\"", BindNotice(kUpperUuid)},
        {"init", "null", "{\"sID\": " + std::to_string(OwnSession()) + "}"},
        {"init", "\"3\"", "{\"sID\": 3}"},
        {"init", "\" +7 and more\"", "{\"sID\": 7}"},
        {"init", "5", "{\"sID\": " + std::to_string(OwnSession()) + "}"},
    };
    for (const Case& c : cases) {
        FakeServicePipe service;
        ASSERT_TRUE(service.Serving());
        const Answer answer = Run(c.op, c.args);
        EXPECT_EQ(answer.rc, 0) << c.op << " " << c.args;
        EXPECT_EQ(answer.content, "<none>") << c.op << " " << c.args;
        ASSERT_TRUE(service.WaitForMessages(1, 10000)) << c.op << " " << c.args;
        EXPECT_EQ(service.Messages(), std::vector<std::string>{c.notice}) << c.op << " " << c.args;
    }
}

TEST_F(BindInit, RefusedArgumentsWriteNothing) {
    struct Case {
        const char* op;
        std::string args;
        int rc;
    } cases[] = {
        {"bind", "\"" + std::string(kVersion1Uuid) + "\"", 100},
        {"bind", "\"qxlaunch://" + std::string(kVersion1Uuid) + "/\"", 100},
        {"bind", "\"" + std::string(kUuid) + "-\"", 100},
        {"bind", "\"http://" + std::string(kUuid) + "\"", 100},
        {"bind", "null", 100},
        {"bind", "\"\"", 100},
        {"init", "\"abc\"", 21},
        {"init", "\"99999999999\"", 21},
    };
    for (const Case& c : cases) {
        FakeServicePipe service;
        ASSERT_TRUE(service.Serving());
        EXPECT_EQ(Run(c.op, c.args).rc, c.rc) << c.op << " " << c.args;
        // The service serves its clients in turn: a marker written after the op comes after
        // anything the op wrote.
        PipeClient marker;
        ASSERT_EQ(marker.Open(FakeServicePipe::kServicePipe, 10000, GENERIC_WRITE), 0u);
        ASSERT_EQ(marker.Write("marker"), 0u);
        ASSERT_TRUE(service.WaitForMessages(1, 10000)) << c.op << " " << c.args;
        EXPECT_EQ(service.Messages(), std::vector<std::string>{"marker"}) << c.op << " " << c.args;
        // Not even an empty connection: the service would count it as a failing client.
        EXPECT_EQ(service.Connections(), 1u) << c.op << " " << c.args;
    }
    EXPECT_TRUE(sink.Has("[Backbone::Process] invalid ordana id ! the given uuid does not  have a valid suntax : " +
                         std::string(kVersion1Uuid)));
}

TEST_F(BindInit, NoServiceAnswers102ButAnInvalidUuidStill100) {
    EXPECT_EQ(Run("bind", "\"" + std::string(kUuid) + "\"").rc, 102);
    EXPECT_EQ(Run("init", "null").rc, 102);
    EXPECT_TRUE(sink.Has("[Backbone::Process]Could not open pipe."));
    EXPECT_TRUE(sink.Has("[Backbone::Process] Fail to create handle on Named pipe !"));
    EXPECT_EQ(Run("bind", "\"" + std::string(kVersion1Uuid) + "\"").rc, 100);
}

TEST_F(BindInit, FailedWriteAnswers101) {
    FakeServicePipe service(FakeServicePipe::Mode::Reject);
    ASSERT_TRUE(service.Serving());
    EXPECT_EQ(Run("bind", "\"" + std::string(kUuid) + "\"").rc, 101);
    EXPECT_EQ(sink.After("[Backbone::Process] fail to write into named pipe this content : ").rfind(BindNotice(kUuid), 0),
              0u);
}

// The service's only instance is held by another client: the op waits for it to be free.
TEST_F(BindInit, BusyServiceIsWaitedFor) {
    ZYNSysKernelHandle server(::CreateNamedPipeW(FakeServicePipe::kServicePipe, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0, 65536, 0,
                                                 nullptr));
    ASSERT_TRUE(server);
    PipeClient holder;
    ASSERT_EQ(holder.Open(FakeServicePipe::kServicePipe, 5000, GENERIC_WRITE), 0u);
    int rc = -1;
    std::atomic<ULONGLONG> answered{0};
    std::thread op([&rc, &answered] {
        rc = Run("bind", "\"" + std::string(kUuid) + "\"").rc;
        answered.store(::GetTickCount64());
    });
    // The op logs this just before it opens the pipe; a while later it must still be waiting.
    const ULONGLONG end = ::GetTickCount64() + 15000;
    while (!sink.Has("[Backbone::Process]Retrieveing Named pipe handle ...") && ::GetTickCount64() < end) ::Sleep(10);
    ::Sleep(500);
    const ULONGLONG freed = ::GetTickCount64();
    holder.Close();
    ::DisconnectNamedPipe(server.Get());
    ZYNSysKernelHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.Get();
    DWORD got = 0;
    bool connected = ::ConnectNamedPipe(server.Get(), &overlapped) || ::GetLastError() == ERROR_PIPE_CONNECTED;
    if (!connected && ::GetLastError() == ERROR_IO_PENDING) {
        connected = ::WaitForSingleObject(event.Get(), 15000) == WAIT_OBJECT_0 &&
                    ::GetOverlappedResult(server.Get(), &overlapped, &got, FALSE);
    }
    std::string message;
    if (connected) {
        ReadPipeMessage(server.Get(), message, {.deadline = PipeDeadline::In(15000), .ioEvent = event.Get()});
    } else {
        ::CancelIoEx(server.Get(), &overlapped);
        ::GetOverlappedResult(server.Get(), &overlapped, &got, TRUE);
    }
    op.join();
    EXPECT_TRUE(connected);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(message, BindNotice(kUuid));
    EXPECT_GE(answered.load(), freed) << "answered before the instance was free";
}

// A service that never frees its instance cannot hold the op: it gives up with 102.
TEST_F(BindInit, ServiceThatStaysBusyIsGivenUp) {
    ZYNSysKernelHandle server(::CreateNamedPipeW(FakeServicePipe::kServicePipe, PIPE_ACCESS_INBOUND,
                                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0, 65536, 0,
                                                 nullptr));
    ASSERT_TRUE(server);
    PipeClient holder;
    ASSERT_EQ(holder.Open(FakeServicePipe::kServicePipe, 5000, GENERIC_WRITE), 0u);
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(Run("bind", "\"" + std::string(kUuid) + "\"").rc, 102);
    EXPECT_LT(::GetTickCount64() - start, 25000u);
    EXPECT_TRUE(sink.Has("[Backbone::Process]Could not open pipe: 5 second wait timed out."));
    EXPECT_TRUE(sink.Has("[Backbone::Process] Fail to create handle on Named pipe !"));
}

}  // namespace
