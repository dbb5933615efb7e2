#pragma once
// A stand-in for the launcher service: a thread of the test process serves its pipe and
// keeps every message that arrives, byte for byte, zero-length messages included.

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ZYNSysKernelHandle.h"

class FakeServicePipe {
public:
    static constexpr const wchar_t* kServicePipe = L"\\\\.\\pipe\\zyn_launcher_pipe";

    // Accept: read every message. Reject: read nothing and drop each client shortly after it
    // connects, so that its write fails. Stall: read nothing and keep each client connected
    // until the fake ends, so that its write never completes.
    enum class Mode { Accept, Reject, Stall };

    explicit FakeServicePipe(Mode mode = Mode::Accept, std::wstring name = kServicePipe);
    ~FakeServicePipe();
    FakeServicePipe(const FakeServicePipe&) = delete;
    FakeServicePipe& operator=(const FakeServicePipe&) = delete;

    // False when the first instance could not be created (the name is served elsewhere).
    bool Serving() const { return serving_; }
    std::vector<std::string> Messages() const;
    // Connections seen, whether or not they carried a message.
    std::size_t Connections() const;
    // Waits until at least count messages have arrived; false on time-out.
    bool WaitForMessages(std::size_t count, unsigned milliseconds) const;

private:
    ZYNSysKernelHandle NewInstance(bool first) const;
    void Serve(ZYNSysKernelHandle listening);
    // One connected client: every message until it leaves (or the stop).
    void ReadMessages(HANDLE pipe);
    bool WaitIo(HANDLE pipe, OVERLAPPED& overlapped, DWORD& transferred, DWORD& error) const;

    const Mode mode_;
    const std::wstring name_;
    bool serving_ = false;
    ZYNSysKernelHandle stop_;
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<std::string> messages_;
    std::size_t connections_ = 0;
    std::thread thread_;
};
