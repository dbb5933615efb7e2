#pragma once
// The WinINet transport of the HTTP driver interface (type 'W'). Sessions and connections
// come from the process-wide caches and outlive the driver; each request has its own
// reference-counted internet info, which WinINet hands back to the status callback. Time-outs
// and credentials go on the request handle only: the cached connection is shared by every
// driver of the process. Certificate and authentication problems are put to the user through
// the process's prompt (QORHttpPrompt.h), or answered with the configured security flags,
// unless the system policy forbids ignoring certificate errors. Nothing here throws.

#include <cstdint>
#include <string>

#include "QORHttpDriver.h"
#include "QORHttpInternetInfo.h"
#include "ZYNSysWin.h"

#include <wininet.h>

class QORHttpWDriver : public QORHttpDriver {
public:
    // Rounds of one send through the resend decision (a dialog or the security flags each).
    static constexpr int kMaxSendAttempts = 5;
    // Resends, besides those, because WinINet closed the connection under the request.
    static constexpr int kMaxClosedResends = 2;
    // Upload pieces (and chunks) are at most this long.
    static constexpr std::uint32_t kMaxPiece = 65515;

    QORHttpWDriver(const char* userAgent, std::uint16_t httpMajor, std::uint16_t httpMinor);
    ~QORHttpWDriver() override;

    HRESULT Connect(const char* host, std::uint32_t port, std::uint32_t accessType) override;
    HRESULT Connection(const char* url) override;
    HRESULT OpenRequest(const char* verb, const char* url, std::uint32_t flags, const char** acceptTypes) override;
    HRESULT AddRequestHeaders(const char* headers, std::uint32_t flags) override;
    HRESULT SendRequest(const char* data, std::uint64_t length, std::uint32_t hasBody) override;
    HRESULT SendRequest(QORHttpStreamer* streamer, std::uint32_t retries) override;
    HRESULT BeginSendRequest(std::uint32_t mode, std::uint64_t length, std::uint32_t chunked) override;
    HRESULT SendRawData(const char* data, std::uint64_t length) override;
    HRESULT CloseRequest() override;
    HRESULT GetResponseHeaders(char** outText, std::uint32_t* ioLength, std::uint32_t* ioIndex, std::uint32_t query,
                               const char* customName) override;
    HRESULT GetOptions(std::uint32_t id, void* value, std::uint32_t* ioLength) override;
    HRESULT SetOptions(std::uint32_t id, const void* value, std::uint32_t length) override;
    char GetType() override { return 'W'; }
    HRESULT ResetRequest() override;
    HRESULT CloseConnection() override;
    HRESULT QXInternetQueryDataAvailable(std::uint32_t* outAvailable) override;
    HRESULT QXInternetReadFile(std::uint64_t* ioLength, char* body, std::uint32_t toRead,
                               std::uint32_t* outRead) override;
    HRESULT AnalysePath(const char* url) override;
    HRESULT Authenticate(const char* url, std::uint32_t status, const char* head) override;

    // --- The WinINet driver's own operations, in order. -----------------------------------
    /* 45 */ virtual HRESULT InitData();
    /* 46 */ virtual HRESULT ReleaseData();
    /* 47 */ virtual HRESULT QXInternetOpen();
    /* 48 */ virtual HRESULT QXInternetConnect();
    /* 49 */ virtual HRESULT QXHttpOpenRequest(const char* verb, const char* path, const char** acceptTypes,
                                               std::uint32_t flags);
    /* 50 */ virtual HRESULT ManageServerChange(const char* host, std::uint32_t port);
    /* 51 */ virtual HRESULT PreForceOnline();
    /* 52 */ virtual HRESULT CloseHandle(HINTERNET handle);
    // These three answer a Win32 error code (0 on success), as WinINet gives it.
    /* 53 */ virtual DWORD QXHttpSendRequestEx(INTERNET_BUFFERSA* buffers);
    /* 54 */ virtual DWORD QXHttpInternetWriteFile(const char* data, std::uint32_t length, std::uint32_t* outWritten);
    /* 55 */ virtual DWORD QXHttpEndRequest();

    // The user name and password of the driver on the request.
    HRESULT AddAuthentication();
    // Answers a send error by the security flags or the prompt: 0 to send again, else an HRESULT.
    HRESULT DisplayDlg(DWORD error);
    HRESULT ForceOnline(DWORD stateFlags);
    // 0: send again; non-zero: stop, with the HRESULT (0 for success) left in *ioError.
    int IsResendRequest(HRESULT* ioError);

    // The window that owns the dialogs of drivers made from now on (null: the desktop).
    static void SetParentWindowHolder(HWND window);

    // For tests: the current request's internet info (null between requests), the session.
    QORHttpInternetInfo* InternetInfo() const { return internetInfo_.Get(); }
    HINTERNET Session() const { return session_; }
    std::uint32_t Port() const { return port_; }
    const std::string& Host() const { return host_; }

private:
    bool IsHttps() const { return schemeKind_ == INTERNET_SCHEME_HTTPS; }
    bool HasRequest() const { return internetInfo_ && internetInfo_->connection && internetInfo_->request; }
    // Writes all of the bytes through QXHttpInternetWriteFile; 0 or an HRESULT.
    HRESULT WriteAll(const char* data, std::uint32_t length);
    HRESULT SetRequestOptions();
    HRESULT SendRequestOnce(const char* data, std::uint64_t length, std::uint32_t hasBody);
    HRESULT SendStreamOnce(QORHttpStreamer* streamer);

    QORHttpInternetInfoRef internetInfo_;
    std::uint32_t port_ = 0;
    std::uint32_t schemeKind_ = 0;
    std::string host_;
    std::string path_;  // path and extra information of the current URL
    // The first round's scheme, host and port: the caller's credentials go to that server only.
    std::uint32_t firstScheme_ = 0;
    std::string firstHost_;
    std::uint32_t firstPort_ = 0;
    bool onFirstOrigin_ = true;
    HINTERNET session_ = nullptr;  // the session cache's
    std::uint32_t securityFlags_ = 0;
    std::uint32_t accessType_ = INTERNET_OPEN_TYPE_PRECONFIG;
    std::uint32_t requestState_ = 0;
    std::uint32_t httpDecoding_ = 0;
    std::uint32_t bodyVerb_ = 0;
    std::uint8_t lastChunkSent_ = 0;
    std::uint8_t requestClosed_ = 0;
    HWND parentWindow_ = nullptr;
    void* getCertContext_ = nullptr;
    void* pendingCallback_ = nullptr;
    std::uint32_t pendingAutoDelete_ = 0;
    void* pendingRequestEndEvent_ = nullptr;
    std::uint64_t downloadLimitation_ = 0;
    std::uint64_t uploadLimitation_ = 0;
    std::uint64_t uploadTotal_ = 0;
    std::uint64_t uploaded_ = 0;
    std::uint64_t transferCounters_[2] = {0, 0};
};
