#pragma once
// A broadcast point for condition-style waiting over one manual-reset event. In set mode
// Broadcast leaves it signalled until Reset; in pulse mode it releases only the threads
// waiting at that moment. Copies share one record.

#include "QORSysExport.h"
#include "ZYNSysKernelHandle.h"

class QOR_SYS_API QORWaitingPoint {
public:
    // Signalled at creation when blocked is 0; pulses on Broadcast when pulseMode is not 0.
    QORWaitingPoint(int pulseMode = 0, int blocked = -1);
    QORWaitingPoint(const QORWaitingPoint& other);
    QORWaitingPoint& operator=(const QORWaitingPoint& other);
    ~QORWaitingPoint();

    void Broadcast();
    void Reset();
    // 0 when signalled; -1 on time-out, on a failed wait or without record. -1 waits without limit.
    int Wait(int timeoutMs);

private:
    friend ZYNSysKernelHandle* QORWaitingPointEventForTest(QORWaitingPoint& point);
    struct Record;
    Record* record_ = nullptr;
};

// Tests only: the owner of the point's event (NULL without record), to close it behind its back.
ZYNSysKernelHandle* QORWaitingPointEventForTest(QORWaitingPoint& point);
