#include "QORHttpAsyncWDriver.h"

#include <cstdint>

#include "QORHttpErrors.h"
#include "QORHttpInternetInfo.h"
#include "ZYNSysTraceClient.h"

namespace {

const char* StatusName(DWORD status) {
    switch (status) {
        case INTERNET_STATUS_RESOLVING_NAME: return "INTERNET_STATUS_RESOLVING_NAME";
        case INTERNET_STATUS_NAME_RESOLVED: return "INTERNET_STATUS_NAME_RESOLVED";
        case INTERNET_STATUS_CONNECTING_TO_SERVER: return "INTERNET_STATUS_CONNECTING_TO_SERVER";
        case INTERNET_STATUS_SENDING_REQUEST: return "INTERNET_STATUS_SENDING_REQUEST";
        case INTERNET_STATUS_REQUEST_SENT: return "INTERNET_STATUS_REQUEST_SENT";
        case INTERNET_STATUS_RECEIVING_RESPONSE: return "INTERNET_STATUS_RECEIVING_RESPONSE";
        case INTERNET_STATUS_HANDLE_CLOSING: return "INTERNET_STATUS_HANDLE_CLOSING";
        case INTERNET_STATUS_REDIRECT: return "INTERNET_STATUS_REDIRECT";
        case INTERNET_STATUS_INTERMEDIATE_RESPONSE: return "INTERNET_STATUS_INTERMEDIATE_RESPONSE";
        case INTERNET_STATUS_STATE_CHANGE: return "INTERNET_STATUS_STATE_CHANGE";
        case INTERNET_STATUS_COOKIE_SENT: return "INTERNET_STATUS_COOKIE_SENT";
        case INTERNET_STATUS_COOKIE_RECEIVED: return "INTERNET_STATUS_COOKIE_RECEIVED";
        case INTERNET_STATUS_PRIVACY_IMPACTED: return "INTERNET_STATUS_PRIVACY_IMPACTED";
        case INTERNET_STATUS_COOKIE_HISTORY: return "INTERNET_STATUS_COOKIE_HISTORY";
        default: return nullptr;
    }
}

// The error of an asynchronous result, as an HRESULT; no result record at all is an access fault.
std::uint32_t ResultError(const void* info, DWORD infoLength) {
    if (!info || infoLength < sizeof(INTERNET_ASYNC_RESULT)) return 0x80074005u;
    const auto* result = static_cast<const INTERNET_ASYNC_RESULT*>(info);
    return result->dwError ? (result->dwError | 0x80070000u) : 0u;
}

}  // namespace

void CALLBACK QORHttpAsyncWDriver::inetCallBackFn(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                                                  DWORD infoLength) {
    auto* internetInfo = reinterpret_cast<QORHttpInternetInfo*>(context);
    if (!handle || !internetInfo) return;
    ZYNSysTraceClient* trace = internetInfo->trace;
    if (trace) ZYNSysTraceClient::InfoPrintf(trace, "\tQORHttpAsyncWDriver::inetCallBackFn (status=<%lX>)", status);
    internetInfo->lastError = 0;
    switch (status) {
        case INTERNET_STATUS_CONNECTED_TO_SERVER:
        case INTERNET_STATUS_DETECTING_PROXY:
            if (internetInfo->removeContentLength && internetInfo->request) {
                // WinINet drops the header only when named with its colon.
                ::HttpAddRequestHeadersW(internetInfo->request.Get(), L"Content-Length:", static_cast<DWORD>(-1),
                                         HTTP_ADDREQ_FLAG_REPLACE);
            }
            return;
        case INTERNET_STATUS_RESPONSE_RECEIVED:
            if (info && infoLength == sizeof(DWORD)) {
                const DWORD size = *static_cast<const DWORD*>(info);
                internetInfo->receivedBytes += size;
                if (trace) ZYNSysTraceClient::InfoPrintf(trace, "\tQORHttpAsyncWDriver::inetCallBackFn size=<%lu>", size);
            } else if (trace) {
                ZYNSysTraceClient::ErrorPrintf(trace, __FILE__, __LINE__,
                                               "\tQORHttpAsyncWDriver::inetCallBackFn (RESPONSE_RECEIVED without size)");
            }
            return;
        case INTERNET_STATUS_CLOSING_CONNECTION:
        case INTERNET_STATUS_CONNECTION_CLOSED:
            if (internetInfo->receivedBytes == 0) internetInfo->connectionClosed = 1;
            return;
        case INTERNET_STATUS_HANDLE_CREATED: {
            const auto* result = static_cast<const INTERNET_ASYNC_RESULT*>(info);
            if (!info || infoLength < sizeof(INTERNET_ASYNC_RESULT)) {
                internetInfo->lastError = 0x80074005u;
            } else if (!result->dwResult) {
                internetInfo->lastError = result->dwError | 0x80070000u;
            } else if (internetInfo->operation == QORHttpInternetInfo::kConnect) {
                internetInfo->connection = reinterpret_cast<HINTERNET>(result->dwResult);
            } else if (internetInfo->operation == QORHttpInternetInfo::kSend && !internetInfo->request) {
                internetInfo->request.Reset(reinterpret_cast<HINTERNET>(result->dwResult));
            }
            if (internetInfo->handleEvent) internetInfo->handleEvent->SetSignal();
            return;
        }
        case INTERNET_STATUS_REQUEST_COMPLETE:
            internetInfo->lastError = ResultError(info, infoLength);
            if (internetInfo->operation >= QORHttpInternetInfo::kSend &&
                internetInfo->operation <= QORHttpInternetInfo::kRead) {
                if (internetInfo->completeEvent) internetInfo->completeEvent->SetSignal();
            } else if (internetInfo->operation == QORHttpInternetInfo::kClose) {
                if (internetInfo->closeEvent) internetInfo->closeEvent->SetSignal();
            }
            return;
        default:
            break;
    }
    const char* name = StatusName(status);
    if (trace) ZYNSysTraceClient::InfoPrintf(trace, "\tQORHttpAsyncWDriver::inetCallBackFn (%s)", name ? name : "default");
}

HRESULT QORHttpAsyncWDriver::CloseHandle(ZYNSysTraceClient* trace, HINTERNET handle,
                                         QORHttpInternetInfo* internetInfo) {
    if (!internetInfo) return TraceHttpError(&trace, 0, "QORHttpAsyncWDriver::CloseHandle", "Invalid argument", E_FAIL);
    if (internetInfo->closeMode != 1) {
        return TraceHttpError(&trace, 0, "QORHttpAsyncWDriver::CloseHandle", "closeMode", E_FAIL);
    }
    if (handle && !::InternetCloseHandle(handle)) {
        TraceHttpError(&trace, 0, "QORHttpAsyncWDriver::CloseHandle", "InternetCloseHandle", ::GetLastError());
    }
    return 0;
}
