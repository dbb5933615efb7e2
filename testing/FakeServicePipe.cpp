#include "FakeServicePipe.h"
#include "ZYNSysKernelHandle.h"

#include <chrono>

#include "PipeConnection.h"

namespace {

constexpr DWORD kInBufferBytes = 65536;
constexpr DWORD kRejectDelay = 300;

ZYNSysKernelHandle NewEvent() { return ZYNSysKernelHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr)); }

}  // namespace

FakeServicePipe::FakeServicePipe(Mode mode, std::wstring name)
    : mode_(mode), name_(std::move(name)), stop_(NewEvent()) {
    ZYNSysKernelHandle first = NewInstance(true);
    serving_ = static_cast<bool>(first) && static_cast<bool>(stop_);
    if (serving_) thread_ = std::thread(&FakeServicePipe::Serve, this, std::move(first));
}

FakeServicePipe::~FakeServicePipe() {
    ::SetEvent(stop_.Get());
    if (thread_.joinable()) thread_.join();
}

std::vector<std::string> FakeServicePipe::Messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::size_t FakeServicePipe::Connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

bool FakeServicePipe::WaitForMessages(std::size_t count, unsigned milliseconds) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return messages_.size() >= count; });
}

ZYNSysKernelHandle FakeServicePipe::NewInstance(bool first) const {
    const DWORD openMode = PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    // Rejecting or stalling: no input buffer, so that a client's write waits for a read that
    // never comes.
    const DWORD inBuffer = mode_ == Mode::Accept ? kInBufferBytes : 0;
    return ZYNSysKernelHandle(::CreateNamedPipeW(name_.c_str(), openMode,
                                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                                 PIPE_UNLIMITED_INSTANCES, 0, inBuffer, 0, nullptr));
}

bool FakeServicePipe::WaitIo(HANDLE pipe, OVERLAPPED& overlapped, DWORD& transferred, DWORD& error) const {
    HANDLE events[] = {overlapped.hEvent, stop_.Get()};
    if (::WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
        // The overlapped structure must outlive the cancelled operation.
        ::CancelIoEx(pipe, &overlapped);
        ::GetOverlappedResult(pipe, &overlapped, &transferred, TRUE);
        error = ERROR_OPERATION_ABORTED;
        return false;
    }
    error = ::GetOverlappedResult(pipe, &overlapped, &transferred, FALSE) ? ERROR_SUCCESS : ::GetLastError();
    return error == ERROR_SUCCESS || error == ERROR_MORE_DATA;
}

void FakeServicePipe::Serve(ZYNSysKernelHandle listening) {
    ZYNSysKernelHandle event = NewEvent();
    for (;;) {
        if (!listening) {
            // No instance to offer: try again unless told to stop.
            if (::WaitForSingleObject(stop_.Get(), 20) == WAIT_OBJECT_0) return;
            listening = NewInstance(false);
            continue;
        }
        OVERLAPPED overlapped{};
        overlapped.hEvent = event.Get();
        bool connected = ::ConnectNamedPipe(listening.Get(), &overlapped) != FALSE;
        if (!connected) {
            DWORD error = ::GetLastError();
            DWORD ignored = 0;
            // ERROR_NO_DATA: the client wrote and left before this call; its message is still there.
            connected = error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA ||
                        (error == ERROR_IO_PENDING && WaitIo(listening.Get(), overlapped, ignored, error));
        }
        if (::WaitForSingleObject(stop_.Get(), 0) == WAIT_OBJECT_0) return;
        if (!connected) {
            listening.Reset();
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++connections_;
        }
        ZYNSysKernelHandle client = std::move(listening);
        // A listening instance stays on offer while this client is served.
        listening = NewInstance(false);
        if (mode_ == Mode::Accept) {
            ReadMessages(client.Get());
        } else {
            // Rejecting: time for the client to start its write. Stalling: until the fake ends.
            ::WaitForSingleObject(stop_.Get(), mode_ == Mode::Reject ? kRejectDelay : INFINITE);
        }
        ::DisconnectNamedPipe(client.Get());
    }
}

void FakeServicePipe::ReadMessages(HANDLE pipe) {
    ZYNSysKernelHandle event = NewEvent();
    const PipeWait wait{.stopEvent = stop_.Get(), .ioEvent = event.Get()};
    for (std::string message; ReadPipeMessage(pipe, message, wait).end == PipeEnd::Done;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            messages_.push_back(std::move(message));
        }
        arrived_.notify_all();
    }
}
