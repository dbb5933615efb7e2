#include "PipeConnection.h"

#include <algorithm>
#include <climits>
#include <vector>

namespace {

constexpr DWORD kPieceBytes = 4096;
constexpr DWORD kStopFlagPollMilliseconds = 100;

// Waits for an overlapped read or write until it ends or the wait gives it up; the byte
// count comes back only through GetOverlappedResult. A piece of a longer message ends as
// Failed with ERROR_MORE_DATA.
PipeResult Finish(HANDLE pipe, BOOL started, OVERLAPPED& overlapped, DWORD& transferred, const PipeWait& wait) {
    transferred = 0;
    if (!started) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) return {PipeEnd::Failed, error};
    }
    const HANDLE events[] = {overlapped.hEvent, wait.stopEvent};
    const DWORD count = wait.stopEvent ? 2 : 1;
    for (;;) {
        DWORD slice = wait.deadline.Left();
        if (wait.stopFlag) slice = std::min(slice, kStopFlagPollMilliseconds);
        const DWORD waited = ::WaitForMultipleObjects(count, events, FALSE, slice);
        if (waited == WAIT_OBJECT_0) break;
        PipeResult givenUp;
        if (waited == WAIT_OBJECT_0 + 1) {
            givenUp.end = PipeEnd::Stopped;
        } else if (waited != WAIT_TIMEOUT) {
            givenUp = {PipeEnd::Failed, ::GetLastError()};
        } else if (wait.stopFlag && wait.stopFlag->load()) {
            givenUp.end = PipeEnd::Stopped;
        } else if (wait.deadline.Passed()) {
            givenUp.end = PipeEnd::TimedOut;
        } else {
            continue;
        }
        ::CancelIoEx(pipe, &overlapped);
        ::GetOverlappedResult(pipe, &overlapped, &transferred, TRUE);
        transferred = 0;
        return givenUp;
    }
    if (::GetOverlappedResult(pipe, &overlapped, &transferred, FALSE)) return {};
    return {PipeEnd::Failed, ::GetLastError()};
}

// The caller's event, or one of the call's own.
class IoEvent {
public:
    explicit IoEvent(HANDLE given) : handle_(given) {
        if (!handle_) {
            own_.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
            handle_ = own_.Get();
        }
    }
    HANDLE Get() const { return handle_; }

private:
    ZYNSysKernelHandle own_;
    HANDLE handle_;
};

}  // namespace

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

PipeDeadline PipeDeadline::In(std::uint64_t milliseconds) {
    PipeDeadline deadline;
    deadline.never_ = false;
    deadline.end_ = ::GetTickCount64() + milliseconds;
    return deadline;
}

DWORD PipeDeadline::Left() const {
    if (never_) return INFINITE;
    const std::uint64_t now = ::GetTickCount64();
    return now >= end_ ? 0 : static_cast<DWORD>(std::min<std::uint64_t>(end_ - now, INFINITE - 1));
}

bool PipeDeadline::Passed() const { return !never_ && ::GetTickCount64() >= end_; }

PipeResult ReadPipeMessage(HANDLE pipe, std::string& message, const PipeWait& wait, PipeOverflow overflow,
                           std::size_t bound) {
    message.clear();
    const IoEvent event(wait.ioEvent);
    if (!event.Get()) return {PipeEnd::Failed, ::GetLastError()};
    bool tooLarge = false;
    std::vector<char> piece(kPieceBytes);
    for (;;) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event.Get();
        DWORD got = 0;
        const BOOL started = ::ReadFile(pipe, piece.data(), kPieceBytes, nullptr, &overlapped);
        PipeResult result = Finish(pipe, started, overlapped, got, wait);
        const bool more = result.end == PipeEnd::Failed && result.error == ERROR_MORE_DATA;
        if (result.end != PipeEnd::Done && !more) {
            result.tooLarge = tooLarge;
            return result;
        }
        if (!tooLarge && message.size() + got > bound) {
            tooLarge = true;
            std::string().swap(message);
            if (overflow == PipeOverflow::Refuse) return {PipeEnd::Failed, ERROR_MESSAGE_EXCEEDS_MAX_SIZE, true};
        }
        if (!tooLarge) message.append(piece.data(), got);
        if (!more) return {PipeEnd::Done, ERROR_SUCCESS, tooLarge};
    }
}

PipeResult WritePipeMessage(HANDLE pipe, std::string_view text, const PipeWait& wait) {
    if (text.size() > UINT_MAX) return {PipeEnd::Failed, ERROR_INVALID_PARAMETER};
    const IoEvent event(wait.ioEvent);
    if (!event.Get()) return {PipeEnd::Failed, ::GetLastError()};
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.Get();
    DWORD written = 0;
    const BOOL started = ::WriteFile(pipe, text.data(), static_cast<DWORD>(text.size()), nullptr, &overlapped);
    const PipeResult result = Finish(pipe, started, overlapped, written, wait);
    if (result.end == PipeEnd::Done && written != text.size()) return {PipeEnd::Failed, ERROR_WRITE_FAULT};
    return result;
}

bool WritePipeMessage(HANDLE pipe, std::string_view text) {
    const PipeResult result = WritePipeMessage(pipe, text, PipeWait{.deadline = PipeDeadline::In(kPipeWaitMilliseconds)});
    if (result.end == PipeEnd::Done) return true;
    ::SetLastError(result.end == PipeEnd::TimedOut ? ERROR_TIMEOUT : result.error);
    return false;
}
