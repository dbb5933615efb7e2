#pragma once
// The framework's reference-counted base: an object starts with one reference, and the holder
// that gives up the last one deletes it through its virtual destructor.

#include <atomic>
#include <cstdint>

#include "QORSysExport.h"

class QOR_SYS_API ZYNSysRefCounted {
public:
    ZYNSysRefCounted(const ZYNSysRefCounted&) = delete;
    ZYNSysRefCounted& operator=(const ZYNSysRefCounted&) = delete;

    // Gives up one reference; the last one deletes the object.
    void Release();

protected:
    ZYNSysRefCounted();
    virtual ~ZYNSysRefCounted();

    // Derived classes take further references with an atomic increment of their own.
    std::atomic<std::int32_t> m_refCount{1};
};
