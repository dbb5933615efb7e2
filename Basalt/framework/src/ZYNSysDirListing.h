#pragma once
// Directory listing through the native directory functions of Ntdll, looked up once per
// process. Only the case-sensitive filter needs RtlIsNameInExpression: a system without it
// still lists everything else.

#include <cstdint>
#include <memory>
#include <string>

#include "QORInterUnicodeString.h"
#include "ZYNSysKernelHandle.h"
#include "ZYNSysWin.h"
// After ZYNSysWin.h, so that <windows.h> comes in with the project's settings.
#include <winternl.h>

struct ZYNSysNtDirectoryApi {
    using NtCreateFileFn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                            PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
    using NtQueryDirectoryFileFn = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                                                    int, BOOLEAN, PUNICODE_STRING, BOOLEAN);
    using RtlInitUnicodeStringFn = VOID(NTAPI*)(PUNICODE_STRING, PCWSTR);
    using RtlIsNameInExpressionFn = BOOLEAN(NTAPI*)(PUNICODE_STRING, PUNICODE_STRING, BOOLEAN, PWCH);
    using RtlUpcaseUnicodeStringFn = NTSTATUS(NTAPI*)(PUNICODE_STRING, PUNICODE_STRING, BOOLEAN);
    using RtlFreeUnicodeStringFn = VOID(NTAPI*)(PUNICODE_STRING);
    using RtlNtStatusToDosErrorFn = ULONG(NTAPI*)(NTSTATUS);

    NtCreateFileFn NtCreateFile = nullptr;
    NtQueryDirectoryFileFn NtQueryDirectoryFile = nullptr;
    RtlInitUnicodeStringFn RtlInitUnicodeString = nullptr;
    RtlIsNameInExpressionFn RtlIsNameInExpression = nullptr;  // optional: the case-sensitive filter
    RtlUpcaseUnicodeStringFn RtlUpcaseUnicodeString = nullptr;
    RtlFreeUnicodeStringFn RtlFreeUnicodeString = nullptr;
    RtlNtStatusToDosErrorFn RtlNtStatusToDosError = nullptr;

    // Every entry point that all listings need is there.
    bool CanList() const;
};

// Where the entry points are found: Ntdll.dll by default.
class ZYNSysNtdllResolver {
public:
    virtual ~ZYNSysNtdllResolver() = default;
    virtual void* Find(const char* name) = 0;
};

// Fills the table from the resolver (Ntdll.dll when null); 0, or E_UNEXPECTED when an entry
// point that every listing needs is missing. A missing RtlIsNameInExpression is not a failure.
HRESULT LoadNtdllDirectoryApi(ZYNSysNtDirectoryApi* api, ZYNSysNtdllResolver* resolver = nullptr);
// The table listings use: the one loaded from Ntdll.dll once, unless a test installed another.
const ZYNSysNtDirectoryApi& ZYNSysGetNtDirectoryApi();
void ZYNSysSetNtDirectoryApi(const ZYNSysNtDirectoryApi* api);  // null restores Ntdll's

// The receive buffer starts at this size and doubles while an entry does not fit, up to the cap.
constexpr std::uint32_t kZYNSysDirBufferStart = 32384;
constexpr std::uint32_t kZYNSysDirBufferCap = 1024 * 1024;

// One open directory and the entries read from it.
struct ZYNSysNtDirState {
    ZYNSysKernelHandle directory;
    std::unique_ptr<unsigned char[]> buffer;
    std::uint32_t bufferSize = 0;
    std::uint32_t nextEntry = 0;  // offset of the next entry, or the buffer size when none is left
    std::wstring pattern;
    UNICODE_STRING nativePattern{};
    std::wstring currentName;
    std::uint16_t flags = 0;
    bool returnSingleEntry = true;
    bool restartScan = true;

    void Close();
};

// Opens the directory and reads its first entry into state->currentName: 0, 0x80070012 when
// there is none, or a failure (E_INVALIDARG for an empty path or a bad pattern, E_UNEXPECTED
// without the entry points).
HRESULT NtEnumerateDirectory(ZYNSysNtDirState* state, const QORInterUnicodeString& directory,
                             const QORInterUnicodeString& pattern, std::uint16_t flags);
// The next entry: 0, 0x80070012 at the end, or a failure.
HRESULT NtNextDirectoryEntry(ZYNSysNtDirState* state);
