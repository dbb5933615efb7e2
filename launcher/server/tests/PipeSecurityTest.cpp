// Who may use the launcher's pipe, and what a pipe server may do with the launcher. Wine checks
// no pipe access by user and lets every server act as its client, whatever the client asked:
// the tests check the security the launcher's pipe carries and the flags of its openings and
// of its instances.

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <optional>
#include <string>

#include "LauncherTestSupport.h"
#include "PipeConnection.h"
#include "ZYNSysKernelHandle.h"
#include "ZYNSysLocalMemory.h"

namespace {

TEST(PipeSecurity, LaunchersPipeCarriesItsDescriptor) {
    TestFolder folder;
    const std::wstring pipe = UniquePipeName();
    Launcher launcher(folder, {L"run", pipe});
    ASSERT_TRUE(WaitForPipe(pipe, 15000)) << launcher.Output();
    ZYNSysKernelHandle client(
        ::CreateFileW(pipe.c_str(), READ_CONTROL | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(client) << ::GetLastError();
    ZYNSysLocalMemory descriptor;
    ASSERT_EQ(::GetSecurityInfo(client.Get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                nullptr, descriptor.Put()),
              static_cast<DWORD>(ERROR_SUCCESS));
    ZYNSysLocalPointer<wchar_t*> text;
    ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.Get(), SDDL_REVISION_1,
                                                                      DACL_SECURITY_INFORMATION, text.Put(), nullptr));
    EXPECT_EQ(Narrow(text.Get()),
              "D:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GA;;;IU)(D;OICI;GA;;;AN)(D;OICI;GA;;;NS)(D;OICI;GA;;;NU)");
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(client.Get(), "STOP", 4, &written, nullptr));
    EXPECT_EQ(launcher.WaitForExit(15000), std::optional<DWORD>(0)) << launcher.Output();
}

TEST(PipeSecurity, PipesOpenedAsAClientAllowIdentificationOnly) {
    EXPECT_EQ(ClientPipeOpenFlags(),
              static_cast<DWORD>(FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION));
}

// No machine of Wine's reaches another's pipes, so a remote client cannot be tried: the mode
// is checked here, and the run-mode tests show this machine's clients are still served.
TEST(PipeSecurity, ServerPipesRefuseClientsOfOtherMachines) {
    EXPECT_EQ(ServerPipeMode(),
              static_cast<DWORD>(PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS));
}

}  // namespace
