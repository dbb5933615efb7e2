#pragma once
// The record that the copies of one QORSockets share, and the helpers its source files use.

#include <winsock2.h>

#include "QORISysSockProtocols.h"
#include "ZYNSysShared.h"
#include "ZYNSysSocketHandle.h"

class QORSocketConnector;

struct QORSocketRecord : ZYNSysSharedRecord {
    ZYNSysSocket socket;
    unsigned short port = 0;  // network byte order
    int kind = 2;             // 1 accepted from a connector, 2 client
    int familyHint = AF_UNSPEC;
    int state = 12289;        // 0 connected
    int mode = 0;             // 0 framed binary, 1 text
    QORSocketConnector* connector = nullptr;
    char host[256] = {};
    char separator = '\n';
    QORISysSockProtocols* protocol = nullptr;
    // A framed header taken in part, or whole for a message not yet read; headerHeld counts its bytes.
    unsigned char header[4] = {};
    unsigned headerHeld = 0;
};

namespace QORSocketCodes {
constexpr int kNoRecord = 4099;
constexpr int kMissingArgument = 8201;
constexpr int kUnknownService = 8202;
constexpr int kNotConnected = 12289;
constexpr int kNotUsable = 12290;
constexpr int kSocketFailed = 16385;
constexpr int kLookupFailed = 16386;
constexpr int kNoConnection = 16387;
constexpr int kReceiveFailed = 16388;
constexpr int kSendFailed = 16389;
constexpr int kIncompleteSend = 16390;
constexpr int kShort = 16391;
constexpr int kAlreadyConnected = 16392;
constexpr int kTooLong = 16393;
constexpr int kNotOpen = 16394;
constexpr int kTimedOut = 16395;
constexpr int kNothingAvailable = 16396;
constexpr int kIncomplete = 16397;
constexpr int kOtherProtocol = 16417;
constexpr int kNoProtocol = 16418;
constexpr int kProtocolStepFailed = 16419;
constexpr int kRequestRefused = 16420;
}  // namespace QORSocketCodes

// Bytes one send or recv call asks for at most.
constexpr unsigned kQORSocketPiece = 65535;

// recv until length bytes arrived, the peer closed or a call failed (an interrupted call is
// retried); *got counts what arrived. 0 complete, 16388 failure or close.
int QORSocketRecvAll(SOCKET socket, char* buffer, unsigned length, unsigned* got);
// send in pieces until all went out; 0, or 16389 after a failed call.
int QORSocketSendAll(SOCKET socket, const char* buffer, unsigned length);
// Peeks until length bytes can be seen at the front of the stream; 0, or 16388 when a peek
// fails or the peer closes first.
int QORSocketPeekAll(SOCKET socket, char* buffer, unsigned length);
