#include "PipeConnection.h"

#include <climits>

PipeOpenResult OpenPipeForWriting(const std::wstring& name, int busyRetries, ZYNSysKernelHandle& pipe) {
    for (int waits = 0;; ++waits) {
        pipe.Reset(::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (pipe) return PipeOpenResult::Opened;
        if (::GetLastError() != ERROR_PIPE_BUSY) return PipeOpenResult::Failed;
        if (waits >= busyRetries || !::WaitNamedPipeW(name.c_str(), 5000)) return PipeOpenResult::TimedOut;
    }
}

bool WritePipeMessage(HANDLE pipe, std::string_view text) {
    if (text.size() > UINT_MAX) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    DWORD written = 0;
    return ::WriteFile(pipe, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
}
