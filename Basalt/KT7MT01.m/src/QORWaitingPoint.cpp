#include "QORWaitingPoint.h"

#include <cstdint>
#include <new>

#include "QORSysMTTrace.h"
#include "ZYNSysKernelHandle.h"
#include "ZYNSysShared.h"

namespace {

constexpr std::uint32_t kSignalledAtCreation = 1u << 0;
constexpr std::uint32_t kPulseMode = 1u << 1;

}  // namespace

struct QORWaitingPoint::Record : ZYNSysSharedRecord {
    ZYNSysKernelHandle event;
    std::uint32_t flags = 0;
};

QORWaitingPoint::QORWaitingPoint(int pulseMode, int blocked) {
    static const bool traceReady = (QORSysMTTraceInit(), true);
    (void)traceReady;

    ZYNSysKernelHandle event(::CreateEventW(nullptr, TRUE, blocked == 0, nullptr));
    if (!event) return;
    record_ = new (std::nothrow) Record;
    if (!record_) return;
    record_->event = std::move(event);
    if (blocked == 0) record_->flags |= kSignalledAtCreation;
    if (pulseMode != 0) record_->flags |= kPulseMode;
    if (ZYNSysMTTraceOn())
        QORSysMTTrace("evt=crewp| wp=0x%x | dat=0x%x \n", ZYNSysMTTraceId(this), ZYNSysMTTraceId(record_));
}

QORWaitingPoint::QORWaitingPoint(const QORWaitingPoint& other) : record_(ZYNSysShareRecord(other.record_)) {}

QORWaitingPoint& QORWaitingPoint::operator=(const QORWaitingPoint& other) {
    ZYNSysAssignRecord(record_, other.record_);
    return *this;
}

QORWaitingPoint::~QORWaitingPoint() {
    if (record_ && ZYNSysMTTraceOn())
        QORSysMTTrace("evt=delwp | wp=0x%x | dat=0x%x \n", ZYNSysMTTraceId(this), ZYNSysMTTraceId(record_));
    ZYNSysReleaseRecord(record_);
}

void QORWaitingPoint::Broadcast() {
    if (!record_) return;
    if (ZYNSysMTTraceOn()) QORSysMTTrace("evt=bcast | wp=0x%x \n", ZYNSysMTTraceId(this));
    if (record_->flags & kPulseMode) ::PulseEvent(record_->event.Get());
    else ::SetEvent(record_->event.Get());
}

void QORWaitingPoint::Reset() {
    if (!record_) return;
    if (ZYNSysMTTraceOn()) QORSysMTTrace("evt=reset | wp=0x%x \n", ZYNSysMTTraceId(this));
    ::ResetEvent(record_->event.Get());
}

int QORWaitingPoint::Wait(int timeoutMs) {
    if (!record_) return -1;
    // Only a signalled event answers 0: a failed wait, even an unlimited one, is not a wake-up.
    return ::WaitForSingleObject(record_->event.Get(), static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0 ? 0 : -1;
}

ZYNSysKernelHandle* QORWaitingPointEventForTest(QORWaitingPoint& point) {
    return point.record_ ? &point.record_->event : nullptr;
}
