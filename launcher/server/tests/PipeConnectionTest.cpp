// The one reader and writer of whole pipe messages, on a real pipe: its bound, its deadline,
// its stop orders and a peer that leaves.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "LauncherTestSupport.h"
#include "PipeConnection.h"

namespace {

// A connected pair: a server instance and its client, both in message mode and overlapped.
struct PipePair {
    explicit PipePair(DWORD serverInBuffer = 65536) {
        server.Reset(::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 65536,
                                        serverInBuffer, 0, nullptr));
        client.Reset(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, nullptr));
        DWORD mode = PIPE_READMODE_MESSAGE;
        if (client) ::SetNamedPipeHandleState(client.Get(), &mode, nullptr, nullptr);
    }
    const std::wstring name = UniquePipeName();
    ZYNSysKernelHandle server;
    ZYNSysKernelHandle client;
};

TEST(PipeMessages, ReadEndsWithTheWholeMessageItsBoundItsDeadlineAStopOrAPeerGone) {
    enum class Ender { None, Deadline, StopEvent, StopFlag, WriterLeaves };
    const std::string large(5000, 'a');
    struct Case {
        const char* name;
        std::vector<std::string> sent;
        PipeOverflow overflow;
        std::size_t bound;
        Ender ender;
        PipeEnd end;
        DWORD error;
        bool tooLarge;
        std::string message;
        const char* next;  // the message a second read then gets, or nothing
    } cases[] = {
        {"whole in pieces", {large + large}, PipeOverflow::Refuse, 65536, Ender::None, PipeEnd::Done, 0, false,
         large + large, nullptr},
        {"at the bound", {large, "next"}, PipeOverflow::Refuse, 5000, Ender::None, PipeEnd::Done, 0, false, large,
         "next"},
        {"refused past the bound", {large}, PipeOverflow::Refuse, 4999, Ender::None, PipeEnd::Failed,
         ERROR_MESSAGE_EXCEEDS_MAX_SIZE, true, "", nullptr},
        {"drained past the bound", {large, "next"}, PipeOverflow::Drain, 4999, Ender::None, PipeEnd::Done, 0, true,
         "", "next"},
        {"nothing by the deadline", {}, PipeOverflow::Refuse, 65536, Ender::Deadline, PipeEnd::TimedOut, 0, false, "",
         nullptr},
        {"stop event", {}, PipeOverflow::Refuse, 65536, Ender::StopEvent, PipeEnd::Stopped, 0, false, "", nullptr},
        {"stop flag", {}, PipeOverflow::Refuse, 65536, Ender::StopFlag, PipeEnd::Stopped, 0, false, "", nullptr},
        {"writer leaves", {}, PipeOverflow::Refuse, 65536, Ender::WriterLeaves, PipeEnd::Failed, ERROR_BROKEN_PIPE,
         false, "", nullptr},
    };
    for (const Case& c : cases) {
        PipePair pair;
        ASSERT_TRUE(pair.server && pair.client) << c.name;
        for (const std::string& message : c.sent) ASSERT_TRUE(WritePipeMessage(pair.client.Get(), message)) << c.name;
        ZYNSysKernelHandle stopEvent(::CreateEventW(nullptr, TRUE, c.ender == Ender::StopEvent, nullptr));
        const std::atomic<bool> stopFlag{c.ender == Ender::StopFlag};
        if (c.ender == Ender::WriterLeaves) pair.client.Reset();
        const PipeWait wait{.deadline = PipeDeadline::In(c.ender == Ender::Deadline ? 300 : 10000),
                            .stopEvent = stopEvent.Get(),
                            .stopFlag = &stopFlag};
        const ULONGLONG start = ::GetTickCount64();
        std::string message = "stale";
        const PipeResult result = ReadPipeMessage(pair.server.Get(), message, wait, c.overflow, c.bound);
        const ULONGLONG took = ::GetTickCount64() - start;
        EXPECT_EQ(result.end, c.end) << c.name;
        EXPECT_EQ(result.error, c.error) << c.name;
        EXPECT_EQ(result.tooLarge, c.tooLarge) << c.name;
        EXPECT_EQ(message, c.message) << c.name;
        EXPECT_LT(took, 3000u) << c.name;
        if (c.ender == Ender::Deadline) {
            EXPECT_GE(took, 290u) << c.name;
        }
        if (c.next) {
            EXPECT_EQ(ReadPipeMessage(pair.server.Get(), message, {.deadline = PipeDeadline::In(2000)}).end,
                      PipeEnd::Done)
                << c.name;
            EXPECT_EQ(message, c.next) << c.name;
        }
    }
}

// A reader that takes nothing cannot hold the writer past its deadline or the stop order.
TEST(PipeMessages, WriteNobodyReadsEndsAtItsDeadlineOrTheStopOrder) {
    const std::string message(100000, 'w');
    std::atomic<bool> stopFlag{false};
    struct Case {
        const char* name;
        PipeWait wait;
        PipeEnd end;
    } cases[] = {
        {"deadline", {.deadline = PipeDeadline::In(300)}, PipeEnd::TimedOut},
        {"stop flag", {.stopFlag = &stopFlag}, PipeEnd::Stopped},
    };
    for (const Case& c : cases) {
        PipePair pair(0);
        ASSERT_TRUE(pair.server && pair.client) << c.name;
        std::thread stopper([&] {
            ::Sleep(300);
            stopFlag = c.wait.stopFlag != nullptr;
        });
        // The deadline counts from here, not from when the table was made.
        PipeWait wait = c.wait;
        if (c.end == PipeEnd::TimedOut) wait.deadline = PipeDeadline::In(300);
        const ULONGLONG start = ::GetTickCount64();
        const PipeResult result = WritePipeMessage(pair.client.Get(), message, wait);
        const ULONGLONG took = ::GetTickCount64() - start;
        stopper.join();
        stopFlag = false;
        EXPECT_EQ(result.end, c.end) << c.name;
        EXPECT_GE(took, 290u) << c.name;
        EXPECT_LT(took, 3000u) << c.name;
    }
}

// Opening a peer's pipe whose only instance is taken: each allowed wait lasts until an instance
// is free again, and no more waits are made than allowed.
TEST(PipeMessages, OpenForWritingWaitsForABusyPipeOnlyAsOftenAsAllowed) {
    struct Case {
        const char* name;
        int busyRetries;
        DWORD freedAfter;  // when the holder lets the instance go; 0: never during the open
        PipeOpenResult result;
    } cases[] = {
        {"no wait allowed", 0, 0, PipeOpenResult::TimedOut},
        {"freed during the wait", 1, 500, PipeOpenResult::Opened},
    };
    for (const Case& c : cases) {
        PipePair pair;
        ASSERT_TRUE(pair.server && pair.client) << c.name;
        std::thread holder([&] {
            if (c.freedAfter == 0) return;
            ::Sleep(c.freedAfter);
            pair.client.Reset();
            ::DisconnectNamedPipe(pair.server.Get());
            ZYNSysKernelHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
            OVERLAPPED overlapped{};
            overlapped.hEvent = event.Get();
            if (!::ConnectNamedPipe(pair.server.Get(), &overlapped) && ::GetLastError() == ERROR_IO_PENDING) {
                if (::WaitForSingleObject(event.Get(), 5000) != WAIT_OBJECT_0) ::CancelIoEx(pair.server.Get(), &overlapped);
                DWORD ignored = 0;
                ::GetOverlappedResult(pair.server.Get(), &overlapped, &ignored, TRUE);
            }
        });
        ZYNSysKernelHandle opened;
        const ULONGLONG start = ::GetTickCount64();
        const PipeOpenResult result = OpenPipeForWriting(pair.name, c.busyRetries, opened);
        const ULONGLONG took = ::GetTickCount64() - start;
        holder.join();
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(opened.IsValid(), c.result == PipeOpenResult::Opened) << c.name;
        // Either way well before a whole wait of kPipeWaitMilliseconds has passed.
        EXPECT_LT(took, 4500u) << c.name;
    }
}

}  // namespace
