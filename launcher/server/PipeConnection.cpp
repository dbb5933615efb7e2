#include "PipeConnection.h"

#include <climits>

PipeOpenResult OpenPipeForWriting(const std::wstring& name, int busyRetries, ZYNSysKernelHandle& pipe) {
    for (int waits = 0;; ++waits) {
        pipe.Reset(
            ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, ClientPipeOpenFlags(), nullptr));
        if (pipe) return PipeOpenResult::Opened;
        if (::GetLastError() != ERROR_PIPE_BUSY) return PipeOpenResult::Failed;
        if (waits >= busyRetries || !::WaitNamedPipeW(name.c_str(), kPipeWaitMilliseconds))
            return PipeOpenResult::TimedOut;
    }
}

bool WritePipeMessage(HANDLE pipe, std::string_view text) {
    if (text.size() > UINT_MAX) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    ZYNSysKernelHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) return false;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.Get();
    DWORD written = 0;
    if (!::WriteFile(pipe, text.data(), static_cast<DWORD>(text.size()), nullptr, &overlapped)) {
        if (::GetLastError() != ERROR_IO_PENDING) return false;
        if (::WaitForSingleObject(event.Get(), kPipeWaitMilliseconds) != WAIT_OBJECT_0) {
            // The overlapped structure must outlive the cancelled write.
            ::CancelIoEx(pipe, &overlapped);
            ::GetOverlappedResult(pipe, &overlapped, &written, TRUE);
            ::SetLastError(ERROR_TIMEOUT);
            return false;
        }
    }
    return ::GetOverlappedResult(pipe, &overlapped, &written, FALSE) && written == text.size();
}
