// The sending half of the WinINet driver: the request's head and body, the resend rounds
// after a closed connection, a certificate error or a credentials demand, and the end of the
// request.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "QORHttpErrors.h"
#include "QORHttpPrompt.h"
#include "QORHttpWDriver.h"
#include "QORHttpWDriverSettings.h"
#include "ZYNSysTraceClient.h"

namespace {

constexpr std::uint32_t kStateChunked = 0x1;
constexpr std::uint32_t kStateSent = 0x10;
constexpr std::uint32_t kStateCredentials = 0x10000000;
constexpr HRESULT kDisconnected = static_cast<HRESULT>(0x80072F83);
constexpr HRESULT kCertErrorsForbidden = static_cast<HRESULT>(0x800720DD);
constexpr char kLastChunk[] = "0\r\n\r\n";

HRESULT FromWin32(DWORD code) { return code ? static_cast<HRESULT>(code | 0x80070000u) : 0; }

bool IsCertificateError(DWORD code) {
    switch (code) {
        case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
        case ERROR_INTERNET_SEC_CERT_CN_INVALID:
        case ERROR_INTERNET_INVALID_CA:
        case ERROR_INTERNET_SEC_CERT_ERRORS:
        case ERROR_INTERNET_SEC_CERT_REV_FAILED:
        case 12170:  // ERROR_INTERNET_SEC_CERT_REVOKED
            return true;
        default:
            return false;
    }
}

bool AsksTheUser(DWORD code) {
    switch (code) {
        case ERROR_INTERNET_INCORRECT_PASSWORD:
        case ERROR_INTERNET_HTTP_TO_HTTPS_ON_REDIR:
        case ERROR_INTERNET_MIXED_SECURITY:
        case ERROR_INTERNET_CHG_POST_IS_NON_SECURE:
        case ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED:
        case 12052:  // ERROR_INTERNET_HTTPS_HTTP_SUBMIT_REDIR
            return true;
        default:
            return false;
    }
}

}  // namespace

HRESULT QORHttpWDriver::AddAuthentication() {
    HINTERNET request = internetInfo_->request.Get();
    const struct {
        DWORD option;
        const std::string& value;
        const char* tag;
    } credentials[] = {
        {INTERNET_OPTION_USERNAME, userName_, "INTERNET_OPTION_USERNAME"},
        {INTERNET_OPTION_PASSWORD, password_, "INTERNET_OPTION_PASSWORD"},
        {INTERNET_OPTION_PROXY_USERNAME, proxyUserName_, "INTERNET_OPTION_PROXY_USERNAME"},
        {INTERNET_OPTION_PROXY_PASSWORD, proxyPassword_, "INTERNET_OPTION_PROXY_PASSWORD"},
    };
    // On this request only: on the cached connection or session they would answer other
    // callers' servers and proxies.
    for (const auto& credential : credentials) {
        if (credential.value.empty()) continue;
        // The caller's own user name and password belong to the first round's server: a
        // redirect elsewhere, or down to http, does not get them.
        const bool serverCredential =
            credential.option == INTERNET_OPTION_USERNAME || credential.option == INTERNET_OPTION_PASSWORD;
        if (serverCredential && !onFirstOrigin_) continue;
        if (!::InternetSetOptionA(request, credential.option, const_cast<char*>(credential.value.c_str()),
                                  static_cast<DWORD>(credential.value.size() + 1))) {
            return TraceHttpError(&trace_, 0, "QORHttpWDriver::AddAuthentication", credential.tag, ::GetLastError());
        }
        requestState_ |= kStateCredentials;
    }
    return 0;
}

HRESULT QORHttpWDriver::BeginSendRequest(std::uint32_t, std::uint64_t length, std::uint32_t chunked) {
    // Only this call's success says the head went out: an earlier round's must not count.
    requestState_ &= ~kStateSent;
    if (!HasRequest()) {
        return TraceHttpError(&trace_, 0, "QORHttpWDriver::BeginSendRequest", "ERROR_INTERNET_DISCONNECTED", kDisconnected);
    }
    HINTERNET request = internetInfo_->request.Get();
    INTERNET_BUFFERSA buffers{};
    buffers.dwStructSize = sizeof buffers;
    if (bodyVerb_ && chunked) {
        requestState_ |= kStateChunked;
        internetInfo_->removeContentLength = 1;
        ::HttpAddRequestHeadersA(request, "Transfer-Encoding: chunked\r\n", static_cast<DWORD>(-1),
                                 HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
    } else {
        if (length > 0xFFFFFFFFull) {
            return TraceHttpError(&trace_, 0, "QORHttpWDriver::BeginSendRequest", "length", E_INVALIDARG);
        }
        buffers.dwBufferTotal = static_cast<DWORD>(length);
    }
    uploadTotal_ = length;
    ::HttpAddRequestHeadersA(request, "Proxy-Connection: Keep-Alive\r\n", static_cast<DWORD>(-1),
                             HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
    HRESULT hr = AddAuthentication();
    if (hr != 0) return hr;

    int closedResends = 0;
    for (int attempt = 1;; ++attempt) {
        internetInfo_->connectionClosed = 0;
        internetInfo_->receivedBytes = 0;
        hr = FromWin32(QXHttpSendRequestEx(&buffers));
        if (hr != 0 && internetInfo_->connectionClosed && closedResends < kMaxClosedResends) {
            ++closedResends;
            --attempt;
            if (trace_) ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpWDriver::BeginSendRequest RESEND ON CONNECTION CLOSED");
            continue;
        }
        // Each round may show a dialog or change the flags: a bounded number of them, ending
        // with the last error.
        if (hr != 0 && attempt >= kMaxSendAttempts) {
            hr = TraceHttpError(&trace_, 0, "QORHttpWDriver::BeginSendRequest", "attempts", hr);
            break;
        }
        if (IsResendRequest(&hr) != 0) break;
    }
    if (hr == 0) requestState_ |= kStateSent;
    return hr;
}

int QORHttpWDriver::IsResendRequest(HRESULT* ioError) {
    const DWORD raw = static_cast<DWORD>(*ioError);
    if (raw == 0) return 1;
    // Only Win32 codes, raw or as 0x8007xxxx, are WinINet's to decide on: a streamer's or the
    // stack's own HRESULTs stop the request as they are.
    const bool win32 = raw <= 0xFFFF || (raw & 0xFFFF0000u) == 0x80070000u;
    if (!win32) return 1;
    const DWORD code = raw & 0xFFFF;
    if (code == 0) {
        *ioError = 0;
        return 1;
    }
    if (code == ERROR_INTERNET_FORCE_RETRY) return 0;
    HRESULT answer;
    if (!IsHttps()) {
        if (code < 12166 || code > 12168) {
            *ioError = FromWin32(code);
            return 1;
        }
        answer = DisplayDlg(code);
    } else if (code < ERROR_INTERNET_INCORRECT_PASSWORD || code > 12170) {
        *ioError = FromWin32(code);
        return 1;
    } else if (IsCertificateError(code)) {
        if (QORHttpPreventIgnoreCertErrors()) {
            *ioError = TraceHttpError(&trace_, 0, "QORHttpWDriver::IsResendRequest", "PreventIgnoreCertErrors",
                                      kCertErrorsForbidden);
            return 1;
        }
        answer = DisplayDlg(code);
    } else if (AsksTheUser(code)) {
        answer = DisplayDlg(code);
    } else {
        *ioError = FromWin32(code);
        return 1;
    }
    *ioError = answer;
    return answer != 0 ? 1 : 0;
}

HRESULT QORHttpWDriver::DisplayDlg(DWORD error) {
    if (!internetInfo_ || !internetInfo_->request) return kDisconnected;
    HINTERNET request = internetInfo_->request.Get();
    if (securityFlags_) {
        DWORD current = 0;
        DWORD size = sizeof current;
        ::InternetQueryOptionA(request, INTERNET_OPTION_SECURITY_FLAGS, &current, &size);
        current |= securityFlags_;
        ::InternetSetOptionA(request, INTERNET_OPTION_SECURITY_FLAGS, &current, sizeof current);
        return 0;
    }
    // The prompt gives the error back when nobody can be asked: the request fails with it.
    const DWORD answer = QORHttpGetPrompt().Ask(request, error, parentWindow_);
    if (answer == ERROR_SUCCESS || answer == ERROR_INTERNET_FORCE_RETRY) return 0;
    return TraceHttpError(&trace_, 0, "QORHttpWDriver::DisplayDlg", "InternetErrorDlg", answer);
}

HRESULT QORHttpWDriver::Authenticate(const char*, std::uint32_t, const char*) {
    if (!internetInfo_ || !internetInfo_->request) return kDisconnected;
    const DWORD answer =
        QORHttpGetPrompt().Ask(internetInfo_->request.Get(), ERROR_INTERNET_INCORRECT_PASSWORD, parentWindow_);
    if (answer == ERROR_INTERNET_FORCE_RETRY) return 0;
    return TraceHttpError(&trace_, 0, "QORHttpWDriver::Authenticate", "InternetErrorDlg",
                          answer ? answer : ERROR_CANCELLED);
}

HRESULT QORHttpWDriver::SendRequestOnce(const char* data, std::uint64_t length, std::uint32_t hasBody) {
    HRESULT hr = BeginSendRequest(0, length, bodyVerb_ && !hasBody);
    if (trace_) {
        ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpWDriver::SendRequest (iBuffer <%p> Size <%llu>, Verb <%u>)",
                                      static_cast<const void*>(data), static_cast<unsigned long long>(length), bodyVerb_);
    }
    if (hr != 0) return hr;
    if (data && length) {
        hr = SendRawData(data, length);
        if (hr != 0) return hr;
    }
    // A chunked upload stays open for the caller's pieces.
    if (bodyVerb_ && !hasBody) return 0;
    return CloseRequest();
}

HRESULT QORHttpWDriver::SendRequest(const char* data, std::uint64_t length, std::uint32_t hasBody) {
    int closedResends = 0;
    for (int attempt = 1;; ++attempt) {
        requestClosed_ = 0;
        lastChunkSent_ = 0;
        if (internetInfo_) {
            internetInfo_->connectionClosed = 0;
            internetInfo_->receivedBytes = 0;
        }
        HRESULT hr = SendRequestOnce(data, length, hasBody);
        if (hr == 0) return 0;
        // The head could not be sent: its own rounds have decided already.
        if (!(requestState_ & kStateSent) && !requestClosed_) return hr;
        if (internetInfo_ && internetInfo_->connectionClosed && closedResends < kMaxClosedResends) {
            ++closedResends;
            --attempt;
            continue;
        }
        if (attempt >= kMaxSendAttempts || IsResendRequest(&hr) != 0) return hr;
    }
}

HRESULT QORHttpWDriver::SendStreamOnce(QORHttpStreamer* streamer) {
    std::uint64_t total = 0;
    std::uint32_t chunked = 0;
    HRESULT hr = streamer->GetSize(&total, &chunked);
    if (hr != 0) return TraceHttpError(&trace_, 0, "QORHttpWDriver::SendRequest", "Stream", hr);
    hr = BeginSendRequest(0, total, chunked);
    if (hr != 0) return hr;
    for (;;) {
        const char* piece = nullptr;
        std::uint32_t pieceLength = 0;
        std::uint32_t state = QORHttpStreamer::kError;
        hr = streamer->GetNext(&piece, &pieceLength, &state);
        if (hr != 0 || state == QORHttpStreamer::kError) {
            CloseConnection();
            // That close is ours, not the server's: no resend for it.
            if (internetInfo_) internetInfo_->connectionClosed = 0;
            return TraceHttpError(&trace_, 0, "QORHttpWDriver::SendRequest", "Stream", hr < 0 ? hr : E_FAIL);
        }
        if (piece && pieceLength) {
            hr = SendRawData(piece, pieceLength);
            if (hr != 0) return hr;
        }
        if (state != QORHttpStreamer::kMore) break;
    }
    return CloseRequest();
}

HRESULT QORHttpWDriver::SendRequest(QORHttpStreamer* streamer, std::uint32_t) {
    if (!streamer) return TraceHttpError(&trace_, 0, "QORHttpWDriver::SendRequest", "iStreamer", E_INVALIDARG);
    int closedResends = 0;
    for (int attempt = 1;; ++attempt) {
        requestClosed_ = 0;
        lastChunkSent_ = 0;
        if (internetInfo_) {
            internetInfo_->connectionClosed = 0;
            internetInfo_->receivedBytes = 0;
        }
        HRESULT hr = SendStreamOnce(streamer);
        if (hr == 0) return 0;
        if (!(requestState_ & kStateSent) && !requestClosed_) return hr;
        if (internetInfo_ && internetInfo_->connectionClosed && closedResends < kMaxClosedResends) {
            ++closedResends;
            --attempt;
        } else if (attempt >= kMaxSendAttempts || IsResendRequest(&hr) != 0) {
            return hr;
        }
        const HRESULT rewound = streamer->Rewind();
        if (rewound != 0) return TraceHttpError(&trace_, 0, "QORHttpWDriver::SendRequest", "Rewind", rewound);
    }
}

HRESULT QORHttpWDriver::WriteAll(const char* data, std::uint32_t length) {
    while (length) {
        std::uint32_t written = 0;
        const DWORD error = QXHttpInternetWriteFile(data, length, &written);
        if (error) return TraceHttpError(&trace_, 0, "QORHttpWDriver::SendRawData", "InternetWriteFile", error);
        if (written == 0 || written > length) {
            return TraceHttpError(&trace_, 0, "QORHttpWDriver::SendRawData", "InternetWriteFile", E_FAIL);
        }
        data += written;
        length -= written;
    }
    return 0;
}

HRESULT QORHttpWDriver::SendRawData(const char* data, std::uint64_t length) {
    if (!HasRequest()) {
        return TraceHttpError(&trace_, 0, "QORHttpWDriver::SendRawData", "ERROR_INTERNET_DISCONNECTED", kDisconnected);
    }
    if (!(requestState_ & kStateSent)) {
        return TraceHttpError(&trace_, 0, "QORHttpWDriver::SendRawData", "HEADER NOT SENT", E_FAIL);
    }
    const bool chunked = (requestState_ & kStateChunked) != 0;
    if (!data || !length) {
        if (chunked && !lastChunkSent_) {
            const HRESULT hr = WriteAll(kLastChunk, sizeof kLastChunk - 1);
            if (hr != 0) return hr;
            lastChunkSent_ = 1;
        }
        return CloseRequest();
    }
    try {
        std::vector<char> framed;
        for (std::uint64_t offset = 0; offset < length;) {
            const auto piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(kMaxPiece, length - offset));
            TellPerfo(Perfo::UploadPieceStart);
            HRESULT hr;
            if (chunked) {
                char size[16];
                const int sizeLength = std::snprintf(size, sizeof size, "%x\r\n", piece);
                framed.assign(size, size + sizeLength);
                framed.insert(framed.end(), data + offset, data + offset + piece);
                framed.push_back('\r');
                framed.push_back('\n');
                hr = WriteAll(framed.data(), static_cast<std::uint32_t>(framed.size()));
            } else {
                hr = WriteAll(data + offset, piece);
            }
            TellPerfo(Perfo::UploadPieceEnd);
            if (hr != 0) return hr;
            uploaded_ += piece;
            offset += piece;
        }
    } catch (...) {
        return TraceHttpOutOfMemory(&trace_, 0, "QORHttpWDriver::SendRawData", "chunk");
    }
    return 0;
}

HRESULT QORHttpWDriver::CloseRequest() {
    if (requestClosed_) return 0;
    if (!HasRequest()) {
        return TraceHttpError(&trace_, 0, "QORHttpWDriver::CloseRequest", "ERROR_INTERNET_DISCONNECTED", kDisconnected);
    }
    requestClosed_ = 1;
    if ((requestState_ & kStateChunked) && !lastChunkSent_) {
        const HRESULT hr = WriteAll(kLastChunk, sizeof kLastChunk - 1);
        if (hr != 0) return hr;
        lastChunkSent_ = 1;
    }
    const DWORD error = QXHttpEndRequest();
    requestState_ = 0;
    if (error) return TraceHttpError(&trace_, 0, "QORHttpWDriver::CloseRequest", "HttpEndRequest", error);
    return 0;
}

DWORD QORHttpWDriver::QXHttpSendRequestEx(INTERNET_BUFFERSA* buffers) {
    QORHttpInternetInfo& info = *internetInfo_.Get();
    QORMutexHold hold(info.mutex);
    info.operation = QORHttpInternetInfo::kSend;
    info.completeEvent->SetUnsignal();
    if (::HttpSendRequestExA(info.request.Get(), buffers, nullptr, 0, reinterpret_cast<DWORD_PTR>(&info))) return 0;
    const DWORD error = ::GetLastError();
    if (error != ERROR_IO_PENDING) return error;
    const DWORD timeout = sendTimeout_ ? sendTimeout_ : connectTimeout_;
    return WaitForSingleEvent(info.completeEvent.get(), static_cast<int>(timeout)) == 0 ? (info.lastError & 0xFFFF)
                                                                                        : ERROR_INTERNET_TIMEOUT;
}

DWORD QORHttpWDriver::QXHttpInternetWriteFile(const char* data, std::uint32_t length, std::uint32_t* outWritten) {
    QORHttpInternetInfo& info = *internetInfo_.Get();
    QORMutexHold hold(info.mutex);
    info.operation = QORHttpInternetInfo::kSend;
    info.completeEvent->SetUnsignal();
    DWORD written = 0;
    if (::InternetWriteFile(info.request.Get(), data, length, &written)) {
        *outWritten = written;
        return 0;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_IO_PENDING) return error;
    const DWORD timeout = sendTimeout_ ? sendTimeout_ : connectTimeout_;
    if (WaitForSingleEvent(info.completeEvent.get(), static_cast<int>(timeout)) != 0) return ERROR_INTERNET_TIMEOUT;
    *outWritten = length;
    return info.lastError & 0xFFFF;
}

DWORD QORHttpWDriver::QXHttpEndRequest() {
    QORHttpInternetInfo& info = *internetInfo_.Get();
    QORMutexHold hold(info.mutex);
    info.operation = QORHttpInternetInfo::kEndRequest;
    info.completeEvent->SetUnsignal();
    if (trace_) ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpWDriver::QXHttpEndRequest (Before HttpEndRequest)");
    DWORD error = ::HttpEndRequestW(info.request.Get(), nullptr, 0, reinterpret_cast<DWORD_PTR>(&info)) ? 0 : ::GetLastError();
    if (error == ERROR_IO_PENDING) {
        error = WaitForSingleEvent(info.completeEvent.get(), static_cast<int>(receiveTimeout_)) == 0
                    ? (info.lastError & 0xFFFF)
                    : ERROR_INTERNET_TIMEOUT;
    }
    TellPerfo(Perfo::RequestEnd);
    if (trace_) ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpWDriver::QXHttpEndRequest (After HttpEndRequest 0x%lx)", error);
    return error;
}
