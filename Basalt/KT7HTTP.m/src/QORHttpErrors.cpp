#include "QORHttpErrors.h"

#include "ZYNSysTraceClient.h"

namespace {

constexpr HRESULT kWin32Facility = static_cast<HRESULT>(0x80070000);
constexpr const char* kSource = "QORHttpTools";

ZYNSysTraceClient* Client(ZYNSysTraceClient** trace) { return trace != nullptr ? *trace : nullptr; }

void Close(ZYNSysTraceClient** trace, int closeTrace) {
    if (closeTrace != 0) ZYNSysTraceClient::Destroy(trace);
}

}  // namespace

HRESULT TraceHttpError(ZYNSysTraceClient** trace, int closeTrace, const char* operation,
                       const char* tag, HRESULT code) noexcept {
    ZYNSysTraceClient::ErrorPrintf(Client(trace), kSource, 742, "\t%s (%s Error 0x%x)",
                                   operation != nullptr ? operation : "", tag != nullptr ? tag : "",
                                   static_cast<unsigned>(code));
    Close(trace, closeTrace);
    return code < 0 ? code : (code | kWin32Facility);
}

HRESULT TraceHttpOutOfMemory(ZYNSysTraceClient** trace, int closeTrace, const char* operation,
                             const char* tag) noexcept {
    ZYNSysTraceClient::ErrorPrintf(Client(trace), kSource, 731, "\t%s (E_OUTOFMEMORY on %s)",
                                   operation != nullptr ? operation : "", tag != nullptr ? tag : "");
    Close(trace, closeTrace);
    return E_OUTOFMEMORY;
}

HRESULT TraceHttpWin32Error(ZYNSysTraceClient** trace, int closeTrace, const char* format,
                            DWORD code) noexcept {
    const HRESULT result = static_cast<HRESULT>(code) | kWin32Facility;
    if (format != nullptr) {
        ZYNSysTraceClient::InfoPrintf(Client(trace), format, static_cast<unsigned>(result));
    }
    Close(trace, closeTrace);
    return result;
}

HRESULT TraceHttpResult(ZYNSysTraceClient** trace, int closeTrace, const char* operation,
                        const char* tag, HRESULT value) noexcept {
    ZYNSysTraceClient::InfoPrintf(Client(trace), "\t%s (%s Session 0x%x)",
                                  operation != nullptr ? operation : "", tag != nullptr ? tag : "",
                                  static_cast<unsigned>(value));
    Close(trace, closeTrace);
    return value;
}
