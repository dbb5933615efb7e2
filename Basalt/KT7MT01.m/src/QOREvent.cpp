#include "QOREvent.h"

#include <array>
#include <new>

#include "QORSysMTTrace.h"

namespace {

constexpr int kSignalled = 0;
constexpr int kFailed = 1000;
constexpr int kTimedOut = 1001;

}  // namespace

const int QOR_MAXIMUM_WAIT_EVENTS = 64;

QOREvent::QOREvent() = default;
QOREvent::~QOREvent() = default;

QOREventImpl::QOREventImpl(HANDLE event) : event_(event) {
    if (ZYNSysMTTraceOn()) QORSysMTTrace("evt=creevt| evt=0x%x \n", ZYNSysMTTraceId(this));
}

QOREventImpl::~QOREventImpl() {
    if (ZYNSysMTTraceOn()) QORSysMTTrace("evt=delevt | wp=0x%x \n", ZYNSysMTTraceId(this));
}

int QOREventImpl::SetSignal() {
    if (ZYNSysMTTraceOn()) QORSysMTTrace("evt=setsig | wp=0x%x \n", ZYNSysMTTraceId(this));
    return ::SetEvent(event_.Get());
}

int QOREventImpl::SetUnsignal() {
    if (ZYNSysMTTraceOn()) QORSysMTTrace("evt=setunsig | wp=0x%x \n", ZYNSysMTTraceId(this));
    return ::ResetEvent(event_.Get());
}

HANDLE QOREventHandleOf(const QOREvent* event) {
    // Another module may derive its own events; only ours carry a Win32 event.
    const auto* impl = dynamic_cast<const QOREventImpl*>(event);
    return impl ? impl->event_.Get() : nullptr;
}

ZYNSysKernelHandle* QOREventOwnerForTest(QOREvent& event) {
    auto* impl = dynamic_cast<QOREventImpl*>(&event);
    return impl ? &impl->event_ : nullptr;
}

QOREvent* CreateQOREvent(int initialState) {
    // Without its event the object's waits would fail; the caller learns it here instead.
    ZYNSysKernelHandle event(::CreateEventW(nullptr, TRUE, initialState != 0, nullptr));
    if (!event) return nullptr;
    QOREventImpl* impl = new (std::nothrow) QOREventImpl(event.Get());
    if (impl) static_cast<void>(event.Take());  // the implementation owns it now
    return impl;
}

int WaitForSingleEvent(QOREvent* event, int timeoutMs) {
    HANDLE handle = QOREventHandleOf(event);
    if (!handle) return kFailed;
    if (ZYNSysMTTraceOn()) QORSysMTTrace("evt=waitsing_s | wp=0x%x \n", ZYNSysMTTraceId(event));
    // -1 taken unsigned is INFINITE. A failed wait is never "signalled", unlimited or not.
    const DWORD result = ::WaitForSingleObject(handle, static_cast<DWORD>(timeoutMs));
    if (ZYNSysMTTraceOn()) QORSysMTTrace("evt=waitsing_e | wp=0x%x \n", ZYNSysMTTraceId(event));
    if (result == WAIT_OBJECT_0) return kSignalled;
    if (result == WAIT_TIMEOUT) return kTimedOut;
    return kFailed;
}

int WaitForMultipleEvents(int count, QOREvent** events, int waitAll, int timeoutMs) {
    if (count < 1 || count > QOR_MAXIMUM_WAIT_EVENTS || !events) return kFailed;
    std::array<HANDLE, MAXIMUM_WAIT_OBJECTS> handles{};
    for (int i = 0; i < count; ++i) {
        handles[i] = QOREventHandleOf(events[i]);
        if (!handles[i]) return kFailed;
    }
    if (ZYNSysMTTraceOn()) QORSysMTTrace("evt=waitmult_s| wp_nb=%d \n", count);
    const DWORD result = ::WaitForMultipleObjects(static_cast<DWORD>(count), handles.data(), waitAll != 0,
                                                  static_cast<DWORD>(timeoutMs));
    int answer = kFailed;
    if (result < static_cast<DWORD>(count)) answer = static_cast<int>(result);
    else if (result == WAIT_TIMEOUT) answer = kTimedOut;
    if (ZYNSysMTTraceOn()) QORSysMTTrace("evt=waitmult_e| wp_nb=%d rc=%d\n", count, answer);
    return answer;
}
