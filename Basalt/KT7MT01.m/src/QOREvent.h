#pragma once
// Events and the two wait functions with fixed result codes: 0 (or the index) when signalled,
// 1001 on time-out, 1000 for bad arguments or a failed wait.

#include "QORSysExport.h"
#include "ZYNSysKernelHandle.h"

// The most events one WaitForMultipleEvents call accepts (64). Declared extern so that the
// constant has external linkage and can be exported.
extern QOR_SYS_API const int QOR_MAXIMUM_WAIT_EVENTS;

class QOR_SYS_API QOREvent {
public:
    virtual ~QOREvent();
    virtual int SetSignal() = 0;
    virtual int SetUnsignal() = 0;

protected:
    QOREvent();
};

// A manual-reset Win32 event; made by CreateQOREvent.
class QOR_SYS_API QOREventImpl : public QOREvent {
public:
    explicit QOREventImpl(HANDLE event);
    ~QOREventImpl() override;
    QOREventImpl(const QOREventImpl&) = delete;
    QOREventImpl& operator=(const QOREventImpl&) = delete;

    int SetSignal() override;
    int SetUnsignal() override;

private:
    friend HANDLE QOREventHandleOf(const QOREvent* event);
    friend ZYNSysKernelHandle* QOREventOwnerForTest(QOREvent& event);
    ZYNSysKernelHandle event_;
};

// A new event, signalled when initialState is not 0; NULL when the event or the object cannot be
// made. The caller deletes it.
QOR_SYS_API QOREvent* CreateQOREvent(int initialState);
QOR_SYS_API int WaitForSingleEvent(QOREvent* event, int timeoutMs);
QOR_SYS_API int WaitForMultipleEvents(int count, QOREvent** events, int waitAll, int timeoutMs);

// The Win32 event of an event made by CreateQOREvent; NULL for anything else.
HANDLE QOREventHandleOf(const QOREvent* event);
// Tests only: the owner of the event's handle, to close it behind the object's back; NULL for
// an event of another kind.
ZYNSysKernelHandle* QOREventOwnerForTest(QOREvent& event);
