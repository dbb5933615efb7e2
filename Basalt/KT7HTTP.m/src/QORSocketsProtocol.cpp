// QORSockets: connecting, sending, receiving and waiting through an external protocol.

#include <winsock2.h>

#include "QORSocketRecord.h"
#include "QORSocketTrace.h"
#include "QORSockets.h"

using namespace QORSocketCodes;

namespace {

// A protocol's own check of a request, for every call of the sockets.
constexpr int kCheckMode = 2;
constexpr QORSysSPResult kNoProtocolResult = 3;

void SetResult(QORSysSPResult* out, QORSysSPResult value) {
    if (out) *out = value;
}

}  // namespace

int QORSockets::SetExternalProtocol(QORISysSockProtocols* protocol) {
    QOR_SOCKET_TRACE("QORSockets::SetExternalProtocol (Protocol=<%x>)", QORSocketTraceId(protocol));
    if (!protocol) return kNoProtocol;
    QORSocketRecord* r = record_;
    if (!r) return kNoRecord;
    if (r->protocol == protocol) return 0;  // attached once: the last copy releases it once
    if (r->protocol) return kOtherProtocol;
    r->protocol = protocol;
    protocol->Attach(1);
    return 0;
}

const char* QORSockets::GetExternalProtocolId() {
    QOR_SOCKET_TRACE("QORSockets::GetExternalProtocolId ()");
    if (!record_ || !record_->protocol) return nullptr;
    return record_->protocol->GetId();
}

int QORSockets::ConnectWithProtocol(QORISysSockProtocolRq* request, QORSysSPResult* result) {
    QOR_SOCKET_TRACE("QORSockets::ConnectWithProtocol (Rq=<%x>, Result=<%x>)", QORSocketTraceId(request),
                     QORSocketTraceId(result));
    SetResult(result, 0);
    QORSocketRecord* r = record_;
    if (!r) return kNoRecord;
    if (r->socket || r->kind == 1) return kAlreadyConnected;
    if (!request) return kRequestRefused;
    QORISysSockProtocols* protocol = r->protocol;
    if (!protocol) return kNoProtocol;

    unsigned short port = 0;
    char host[257] = {};
    unsigned flags = 0;
    int step = protocol->CheckRequest(request, kCheckMode);
    if (step == 0) step = protocol->PrepareConnect(this, request, port, host, flags);
    host[256] = '\0';  // a protocol may fill the whole buffer
    if (step != 0) {
        SetResult(result, step);
        return kRequestRefused;
    }
    if (flags & QORSysSPConnectTo) {
        const int connected = Connect(port, host[0] ? host : nullptr);
        if (connected != 0) return connected;
    } else {
        r->state = 0;
    }
    const int completed = protocol->CompleteConnect(this, request, port);
    if (flags & QORSysSPCloseAfter) Close();
    if (completed != 0) {
        SetResult(result, completed);
        return kRequestRefused;
    }
    return r->state > 0 ? kNoConnection : 0;
}

int QORSockets::SendWithProtocol(QORISysSockProtocolRq* request, QORSysSPResult* result) {
    QOR_SOCKET_TRACE("QORSockets::SendWithProtocol (Rq=<%x>, Result=<%x>)", QORSocketTraceId(request),
                     QORSocketTraceId(result));
    SetResult(result, 0);
    QORSocketRecord* r = record_;
    if (!r) return kNoRecord;
    if (!request) return kRequestRefused;
    QORISysSockProtocols* protocol = r->protocol;
    if (!protocol) return kNoProtocol;
    const QORSysSPResult checked = protocol->CheckRequest(request, kCheckMode);
    if (checked != 0) {
        SetResult(result, checked);
        return kRequestRefused;
    }

    unsigned flags = 0;
    char* buffer = nullptr;
    unsigned length = 0;
    void* context = nullptr;
    int steps = 0;
    int sendError = 0;
    int step = protocol->BeginSend(this, request, flags, buffer, length, context);
    if (step == 0) {
        for (;;) {
            if (flags & QORSysSPSendNow) {
                sendError = BasicSend(buffer, length);
                if (sendError != 0) flags |= QORSysSPSendFailed;
            }
            ++steps;
            if ((flags & QORSysSPFinished) || sendError != 0) break;
            step = protocol->NextSend(this, request, flags, buffer, length, context, steps);
            if (step != 0) {
                flags |= QORSysSPStepFailed;
                break;
            }
        }
    }
    const int ended = protocol->EndSend(this, request, flags, buffer, length, context, steps);
    if (flags & QORSysSPCloseAfter) Close();
    protocol->ReleaseSend(flags, buffer, context, steps);
    if (step != 0 || ended != 0) {
        SetResult(result, 1);
        return kProtocolStepFailed;
    }
    return sendError;
}

int QORSockets::ReceiveWithProtocol(QORISysSockProtocolRq** request, QORSysSPResult* result) {
    QOR_SOCKET_TRACE("QORSockets::ReceiveWithProtocol (Rq=<%x>, Result=<%x>)", QORSocketTraceId(request),
                     QORSocketTraceId(result));
    SetResult(result, 0);
    QORSocketRecord* r = record_;
    if (!r) return kNoRecord;
    if (!request) return kRequestRefused;
    QORISysSockProtocols* protocol = r->protocol;
    if (!protocol) return kNoProtocol;
    if (*request) {
        const QORSysSPResult checked = protocol->CheckRequest(*request, kCheckMode);
        if (checked != 0) {
            SetResult(result, checked);
            return kRequestRefused;
        }
    }
    unsigned flags = 0;
    int code = 0;
    const int answer = protocol->Receive(this, *request, flags, code);
    if (flags & QORSysSPCloseAfter) Close();
    if (answer != 0) SetResult(result, answer);
    return code;
}

int QORSockets::WaitWithProtocol(int timeoutMs, QORISysSockProtocolRq* request) {
    QOR_SOCKET_TRACE("QORSockets::WaitWithProtocol (Timeout=<%d>, Rq=<%x>)", timeoutMs, QORSocketTraceId(request));
    QORSocketRecord* r = record_;
    if (!r || !r->protocol || r->protocol->Supports(QORSysSPWaitsItself) != 0) return kNoRecord;
    switch (r->protocol->Wait(timeoutMs, request, this)) {
        case 0:
            return 0;
        case 1:
            return kNotUsable;
        case 4:
            return kTimedOut;
        default:
            return kNoRecord;
    }
}

QORSysSPResult QORSockets::ExtOperation(QORISysSockProtocolRq* request, int operation, void* data) {
    QOR_SOCKET_TRACE("QORSockets::ExtOperation (Rq=<%x>, Op=<%d>, Data=<%x>)", QORSocketTraceId(request), operation,
                     QORSocketTraceId(data));
    if (!record_ || !record_->protocol) return kNoProtocolResult;
    return record_->protocol->ExtOperation(request, operation, data);
}
