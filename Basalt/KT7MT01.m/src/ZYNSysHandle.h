#pragma once
// One move-only owner for every kind of platform handle; its traits say how to close
// the handle and which values mean "nothing owned".

#include <utility>

#include "ZYNSysWin.h"

#include <userenv.h>
#include <wincrypt.h>
#include <wininet.h>

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

    // Gives up ownership.
    Type Take() {
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

private:
    void Close() {
        if (Traits::IsValid(handle_)) Traits::Close(handle_);
        handle_ = Traits::Invalid();
    }

    Type handle_ = Traits::Invalid();
};

// A kernel HANDLE has two invalid values: NULL and INVALID_HANDLE_VALUE.
struct ZYNSysKernelHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::CloseHandle(h); }
};

struct ZYNSysFindHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::FindClose(h); }
};

struct ZYNSysLocalMemoryTraits {
    using Type = HLOCAL;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { ::LocalFree(h); }
};

struct ZYNSysRegKeyTraits {
    using Type = HKEY;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { ::RegCloseKey(h); }
};

// The environment block of a user token (CreateEnvironmentBlock); callers link userenv.
struct ZYNSysEnvironmentBlockTraits {
    using Type = void*;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { ::DestroyEnvironmentBlock(h); }
};

// A WinINet session, connection or request; callers link wininet.
struct ZYNSysInternetHandleTraits {
    using Type = HINTERNET;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { ::InternetCloseHandle(h); }
};

// A CryptoAPI provider and a hash object made from it; callers link advapi32.
struct ZYNSysCryptProviderTraits {
    using Type = HCRYPTPROV;
    static Type Invalid() { return 0; }
    static bool IsValid(Type h) { return h != 0; }
    static void Close(Type h) { ::CryptReleaseContext(h, 0); }
};

struct ZYNSysCryptHashTraits {
    using Type = HCRYPTHASH;
    static Type Invalid() { return 0; }
    static bool IsValid(Type h) { return h != 0; }
    static void Close(Type h) { ::CryptDestroyHash(h); }
};

using ZYNSysKernelHandle = ZYNSysHandle<ZYNSysKernelHandleTraits>;
using ZYNSysEnvironmentBlock = ZYNSysHandle<ZYNSysEnvironmentBlockTraits>;
using ZYNSysFindHandle = ZYNSysHandle<ZYNSysFindHandleTraits>;
using ZYNSysLocalMemory = ZYNSysHandle<ZYNSysLocalMemoryTraits>;
using ZYNSysRegKey = ZYNSysHandle<ZYNSysRegKeyTraits>;
using ZYNSysInternetHandle = ZYNSysHandle<ZYNSysInternetHandleTraits>;
using ZYNSysCryptProvider = ZYNSysHandle<ZYNSysCryptProviderTraits>;
using ZYNSysCryptHash = ZYNSysHandle<ZYNSysCryptHashTraits>;
