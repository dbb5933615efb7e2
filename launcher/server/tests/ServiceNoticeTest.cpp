// The fake service itself: the tests above trust it to record every notice, and to see
// none when none came. Then a notice that must wait for a busy service.

#include <gtest/gtest.h>

#include "FakeServicePipe.h"
#include "LauncherTestSupport.h"
#include "PipeConnection.h"
#include "ZYNSysKernelHandle.h"

namespace {

TEST(FakeService, RecordsEveryMessageExactlyZeroLengthOnesToo) {
    const std::wstring name = UniquePipeName();
    FakeServicePipe service(FakeServicePipe::Mode::Accept, name);
    ASSERT_TRUE(service.Serving());
    const std::string big(70000, 'b');
    {
        PipeClient client;
        ASSERT_EQ(client.Open(name, 5000, GENERIC_WRITE), 0u);
        EXPECT_EQ(client.Write("a"), 0u);
        EXPECT_EQ(client.Write(""), 0u);
        EXPECT_EQ(client.Write(big), 0u);
    }
    {
        PipeClient leaves;  // a connection without a message
        ASSERT_EQ(leaves.Open(name, 5000, GENERIC_WRITE), 0u);
    }
    ASSERT_TRUE(service.WaitForMessages(3, 10000));
    EXPECT_EQ(service.Messages(), (std::vector<std::string>{"a", "", big}));
    for (int i = 0; i < 100 && service.Connections() < 2; ++i) ::Sleep(20);
    EXPECT_EQ(service.Connections(), 2u);
}

// The service's only instance is taken when the watchdog stops the launcher: the notice waits
// for it, and the launcher does not end before its notice is written.
TEST(ServiceNotice, WatchdogNoticeWaitsForABusyServiceAndTheLauncherForTheNotice) {
    ZYNSysKernelHandle instance(::CreateNamedPipeW(FakeServicePipe::kServicePipe,
                                                   PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096,
                                                   4096, 0, nullptr));
    ASSERT_TRUE(instance);
    PipeClient holder;
    ASSERT_EQ(holder.Open(FakeServicePipe::kServicePipe, 5000, GENERIC_WRITE), 0u);
    TestFolder folder;
    Launcher launcher(folder, {L"run", UniquePipeName()}, {{L"WEX_TRQ_UUID", L"1"}, {L"LAUNCHER_SETUPTRQ_TIMER", L"1"}});
    // Well after the watchdog's second: the server has ended and only the notice is left.
    EXPECT_FALSE(launcher.WaitForExit(3000).has_value()) << launcher.Output();
    holder.Close();
    ::DisconnectNamedPipe(instance.Get());
    ZYNSysKernelHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.Get();
    if (!::ConnectNamedPipe(instance.Get(), &overlapped) && ::GetLastError() == ERROR_IO_PENDING &&
        ::WaitForSingleObject(event.Get(), 10000) != WAIT_OBJECT_0) {
        ::CancelIoEx(instance.Get(), &overlapped);
        DWORD ignored = 0;
        ::GetOverlappedResult(instance.Get(), &overlapped, &ignored, TRUE);
    }
    std::string notice;
    EXPECT_EQ(ReadPipeMessage(instance.Get(), notice, {.deadline = PipeDeadline::In(5000)}).end, PipeEnd::Done);
    DWORD session = 0;
    ASSERT_TRUE(::ProcessIdToSessionId(::GetCurrentProcessId(), &session));
    EXPECT_EQ(notice, "{\"closingSession\": " + std::to_string(session) + "}");
    EXPECT_EQ(launcher.WaitForExit(15000), 0u);
}

}  // namespace
