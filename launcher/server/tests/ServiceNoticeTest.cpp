// The fake service itself: the tests above trust it to record every notice, and to see
// none when none came.

#include <gtest/gtest.h>

#include "FakeServicePipe.h"
#include "LauncherTestSupport.h"

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

}  // namespace
