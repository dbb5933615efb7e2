#include "ZYNSysTraceClient.h"

ZYNSysTraceClient::ZYNSysTraceClient() noexcept = default;
ZYNSysTraceClient::~ZYNSysTraceClient() = default;
void ZYNSysTraceClient::Construct(const char*) noexcept {}
void ZYNSysTraceClient::Create(ZYNSysTraceClient**, const char*) noexcept {}
void ZYNSysTraceClient::Destroy(ZYNSysTraceClient** slot) noexcept {
    if (slot) *slot = nullptr;
}
int ZYNSysTraceClient::InfoPrintf(ZYNSysTraceClient*, const char*, ...) noexcept { return -1; }
int ZYNSysTraceClient::WarningPrintf(ZYNSysTraceClient*, const char*, ...) noexcept { return -1; }
int ZYNSysTraceClient::ErrorPrintf(ZYNSysTraceClient*, const char*, int, const char*, ...) noexcept {
    return -1;
}
int ZYNSysTraceClient::Emit(int, const char*, int, const char*, va_list) noexcept { return -1; }
