#pragma once
// One TCP connection, accepted by a QORSocketConnector or connected as a client, carrying
// framed binary messages (a 4-byte big-endian length, then the payload) or, after
// SetProtocol, separator-terminated text values. Every operation answers a result code
// (0 success) and never throws. Copies share one connection: the last copy to go closes it.

#include "QORISysSockProtocols.h"
#include "QORSysExport.h"

class QORSocketConnector;
struct QORSocketRecord;

enum QORSocketOptions {
    QORSockOptNoDelay = 0,
    QORSockOptIPv4 = 1,
    QORSockOptIPv6 = 2,
    QORSockOptAnyFamily = 3,
};

// Any value switches the connection to text values.
enum QORSocketProtocol {
    QORSockProtoBinary = 0,
    QORSockProtoText = 1,
};

class QOR_SYS_API QORSockets {
public:
    QORSockets();
    // Takes over the socket (-1 for none); with a connector the socket is an accepted one.
    explicit QORSockets(int socket, QORSocketConnector* connector = nullptr);
    QORSockets(const QORSockets& other);
    QORSockets& operator=(const QORSockets& other);
    virtual ~QORSockets();

    // Port in host order; a NULL host, or this machine's name, means the loopback address.
    int Connect(unsigned short port, const char* host);
    int ConnectService(const char* service, const char* host, const char* protocol);
    // address in network byte order, port in host order.
    int ConnectTo(unsigned int address, unsigned short port);
    int Close();

    int Send(const void* buffer, unsigned length);
    // Waits for a whole header. A message longer than maximum answers 16393 and stays unread,
    // its length in *length: a maximum of 0 learns the length of the next message. A header
    // that arrived in part is read into the socket and kept for the next Receive alone.
    int Receive(void* buffer, unsigned maximum, unsigned* length);
    int BasicSend(const void* buffer, unsigned length);
    // flag -1 peeks once without consuming.
    int BasicReceive(void* buffer, unsigned length, int flag);
    int SmartReceive(void* buffer, unsigned length, int timeoutMs, unsigned* received, int flag);
    // Copies length bytes found after the first offset bytes of the stream, consuming nothing.
    int Peek(void* buffer, int length, unsigned offset, int wait);
    // -1 waits without limit.
    int Wait(int timeoutMs);
    int SetOptions(QORSocketOptions option);
    int SetProtocol(QORSocketProtocol protocol);
    int GetHandler();
    unsigned short GetPort();

    int SetExternalProtocol(QORISysSockProtocols* protocol);
    const char* GetExternalProtocolId();
    int ConnectWithProtocol(QORISysSockProtocolRq* request, QORSysSPResult* result);
    int SendWithProtocol(QORISysSockProtocolRq* request, QORSysSPResult* result);
    int ReceiveWithProtocol(QORISysSockProtocolRq** request, QORSysSPResult* result);
    int WaitWithProtocol(int timeoutMs, QORISysSockProtocolRq* request);
    QORSysSPResult ExtOperation(QORISysSockProtocolRq* request, int operation, void* data);

    // Binary mode frames each value as a message; text mode writes it as text and the separator.
    QORSockets& operator<<(int value);
    QORSockets& operator<<(float value);
    QORSockets& operator<<(double value);
    QORSockets& operator<<(const char* text);
    // A value is left as it was when its message cannot be read.
    QORSockets& operator>>(int& value);
    QORSockets& operator>>(float& value);
    QORSockets& operator>>(double& value);
    // Writes as many bytes as the peer announces: no bound can be checked, so read only from
    // a peer that is trusted with the buffer's size. In binary mode an empty message writes
    // nothing; in text mode the string always ends with a NUL.
    QORSockets& operator>>(char* text);

private:
    // One value text of text mode, at most 63 characters; 0 when it was read.
    int StringifiedReceive(char* text);

    QORSocketRecord* record_;
};
