#pragma once
// An observer of a driver's timing: told the epoch time in milliseconds at the points of a
// request it may want to measure. Reference counted: the driver holds one reference while the
// observer is set (option QORHTTP_OPTION_SET_PERFO_CALLBACK), and the last release deletes it.

#include <atomic>
#include <cstdint>

#include "ZYNSysRefCounted.h"

class QORHttpPerfoCallback : public ZYNSysRefCounted {
public:
    void AddReference() { m_refCount.fetch_add(1, std::memory_order_relaxed); }

    virtual void OnConnect(std::int64_t epochMs) { (void)epochMs; }
    virtual void OnRequestEnd(std::int64_t epochMs) { (void)epochMs; }
    virtual void OnDownloadEnd(std::int64_t epochMs) { (void)epochMs; }
    virtual void OnUploadPieceStart(std::int64_t epochMs) { (void)epochMs; }
    virtual void OnUploadPieceEnd(std::int64_t epochMs) { (void)epochMs; }
    virtual void Reserved6(std::int64_t epochMs) { (void)epochMs; }
    virtual void Reserved7(std::int64_t epochMs) { (void)epochMs; }
    virtual void OnBodyReadStart(std::int64_t epochMs) { (void)epochMs; }
    virtual void OnBodyReadEnd(std::int64_t epochMs) { (void)epochMs; }

protected:
    QORHttpPerfoCallback() = default;
    ~QORHttpPerfoCallback() override = default;
};
