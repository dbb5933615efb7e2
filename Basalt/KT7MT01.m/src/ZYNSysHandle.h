#pragma once
// One move-only owner for every kind of platform handle; its traits say how to close
// the handle and which values mean "nothing owned". Each family of traits has a header
// of its own beside this one, so a file pulls in only the system headers it uses.

#include <utility>

#include "ZYNSysWin.h"

template <typename Traits>
class ZYNSysHandle {
public:
    using Type = typename Traits::Type;

    ZYNSysHandle() = default;
    explicit ZYNSysHandle(Type handle) : handle_(handle) {}
    ~ZYNSysHandle() { Close(); }

    ZYNSysHandle(const ZYNSysHandle&) = delete;
    ZYNSysHandle& operator=(const ZYNSysHandle&) = delete;
    ZYNSysHandle(ZYNSysHandle&& other) noexcept : handle_(other.Take()) {}
    ZYNSysHandle& operator=(ZYNSysHandle&& other) noexcept {
        if (this != &other) Reset(other.Take());
        return *this;
    }

    bool IsValid() const { return Traits::IsValid(handle_); }
    explicit operator bool() const { return IsValid(); }
    Type Get() const { return handle_; }

    // Gives up ownership: dropping the result leaks the handle.
    [[nodiscard]] Type Take() {
        Type handle = handle_;
        handle_ = Traits::Invalid();
        return handle;
    }

    // Closes the old handle and keeps the new one.
    void Reset(Type handle = Traits::Invalid()) {
        if (handle == handle_) return;
        Close();
        handle_ = handle;
    }

    // The slot for a call that hands out a handle through an out-parameter; what was held
    // is closed first.
    Type* Put() {
        Close();
        return &handle_;
    }

private:
    // A failing call's error is read after its owners let go: the close must not change it.
    void Close() {
        if (Traits::IsValid(handle_)) {
            const DWORD error = ::GetLastError();
            Traits::Close(handle_);
            ::SetLastError(error);
        }
        handle_ = Traits::Invalid();
    }

    Type handle_ = Traits::Invalid();
};

// The traits of a handle with one "nothing owned" value, closed by one call that takes it.
template <typename T, auto CloseFunction, T InvalidValue = T{}>
struct ZYNSysHandleTraits {
    using Type = T;
    static Type Invalid() { return InvalidValue; }
    static bool IsValid(Type h) { return h != InvalidValue; }
    static void Close(Type h) { CloseFunction(h); }
};
