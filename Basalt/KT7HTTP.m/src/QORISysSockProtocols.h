#pragma once
// A protocol that takes over connecting, sending, receiving and waiting for a QORSockets.
// The sockets call its slots in the order declared here and never delete it: its life is
// counted through Attach and Release.

#include "QORSysExport.h"

class QORSockets;

// A protocol step's answer: 0 success, 3 no protocol; other values are the protocol's own.
typedef int QORSysSPResult;

// Bits of the flags a protocol hands back.
enum QORSysSPFlags : unsigned {
    QORSysSPFinished = 0x1,
    QORSysSPSendNow = 0x2,
    QORSysSPCloseAfter = 0x4,
    QORSysSPConnectTo = 0x8,
    QORSysSPSendFailed = 0x10000000,
    QORSysSPStepFailed = 0x20000000,
};

// Capabilities the sockets ask Supports about.
enum QORSysSPCapability : int {
    QORSysSPCannotWait = 2,
    QORSysSPWaitsItself = 4,
};

// What a protocol carries; the sockets only pass it through.
class QOR_SYS_API QORISysSockProtocolRq {
public:
    virtual ~QORISysSockProtocolRq();
    virtual int GetRequestType() = 0;

protected:
    QORISysSockProtocolRq();
    QORISysSockProtocolRq(const QORISysSockProtocolRq&) = default;
    QORISysSockProtocolRq& operator=(const QORISysSockProtocolRq&) = default;
};

class QOR_SYS_API QORISysSockProtocols {
public:
    virtual const char* GetId() = 0;
    // mode is 2 for every call the sockets make.
    virtual QORSysSPResult CheckRequest(QORISysSockProtocolRq* request, int mode) = 0;
    virtual int BeginSend(QORSockets* socket, QORISysSockProtocolRq* request, unsigned& flags, char*& buffer,
                          unsigned& length, void*& context) = 0;
    virtual int NextSend(QORSockets* socket, QORISysSockProtocolRq* request, unsigned& flags, char*& buffer,
                         unsigned& length, void*& context, int steps) = 0;
    virtual int EndSend(QORSockets* socket, QORISysSockProtocolRq* request, unsigned& flags, char*& buffer,
                        unsigned& length, void*& context, int steps) = 0;
    virtual int ReleaseSend(unsigned flags, char*& buffer, void*& context, int steps) = 0;
    virtual int Receive(QORSockets* socket, QORISysSockProtocolRq*& request, unsigned& flags, int& resultCode) = 0;
    // host holds 257 bytes; port in host order.
    virtual int PrepareConnect(QORSockets* socket, QORISysSockProtocolRq* request, unsigned short& port, char* host,
                               unsigned& flags) = 0;
    virtual int CompleteConnect(QORSockets* socket, QORISysSockProtocolRq* request, unsigned short& port) = 0;
    virtual int NotifyClose(QORSockets* socket, int reserved) = 0;
    // 0 when the capability (a QORSysSPCapability) is supported.
    virtual int Supports(int capability) = 0;
    // 0 ready, 1 error, 4 time-out.
    virtual int Wait(int timeoutMs, QORISysSockProtocolRq* request, QORSockets* socket) = 0;
    virtual QORSysSPResult ExtOperation(QORISysSockProtocolRq* request, int operation, void* data) = 0;
    virtual int Attach(int count) = 0;
    virtual int Release(int count) = 0;

protected:
    QORISysSockProtocols();
    QORISysSockProtocols(const QORISysSockProtocols&) = default;
    QORISysSockProtocols& operator=(const QORISysSockProtocols&) = default;
    // Not virtual: Release ends a protocol's life, never a delete through this interface.
    ~QORISysSockProtocols();
};
