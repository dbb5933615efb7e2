#include "ZYNSysDirListing.h"

#include <atomic>
#include <cstring>
#include <new>

#include "ZYNSysModuleHandle.h"
#include "ZYNSysPath.h"

namespace {

constexpr NTSTATUS kStatusBufferOverflow = static_cast<NTSTATUS>(0x80000005);
constexpr NTSTATUS kStatusNoMoreFiles = static_cast<NTSTATUS>(0x80000006);
constexpr NTSTATUS kStatusNoSuchFile = static_cast<NTSTATUS>(0xC000000F);
constexpr HRESULT kNoMoreFiles = static_cast<HRESULT>(0x80070012);
constexpr int kFileDirectoryInformation = 1;

// The directory-information record as the system lays it out.
struct DirectoryEntry {
    ULONG NextEntryOffset;
    ULONG FileIndex;
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    LARGE_INTEGER EndOfFile;
    LARGE_INTEGER AllocationSize;
    ULONG FileAttributes;
    ULONG FileNameLength;
    WCHAR FileName[1];
};
constexpr std::size_t kEntryHeader = offsetof(DirectoryEntry, FileName);

class NtdllResolver : public ZYNSysNtdllResolver {
public:
    void* Find(const char* name) override {
        // Held for the process: the entry points found in it are kept as long.
        static const ZYNSysModuleHandle ntdll(::LoadLibraryW(L"Ntdll.dll"));
        return ntdll ? reinterpret_cast<void*>(::GetProcAddress(ntdll.Get(), name)) : nullptr;
    }
};

const ZYNSysNtDirectoryApi& NtdllApi() {
    static const ZYNSysNtDirectoryApi api = [] {
        ZYNSysNtDirectoryApi loaded;
        LoadNtdllDirectoryApi(&loaded);
        return loaded;
    }();
    return api;
}

std::atomic<const ZYNSysNtDirectoryApi*> g_installedApi{nullptr};

bool ForbiddenInPattern(wchar_t c) {
    return c < 32 || c == 0x7F || c == L'"' || c == L'/' || c == L':' || c == L'<' || c == L'>' || c == L'\\' ||
           c == L'|';
}

HRESULT StatusToHResult(const ZYNSysNtDirectoryApi& api, NTSTATUS status) {
    return Win32ErrorToHResult(api.RtlNtStatusToDosError(status));
}

// Fills the buffer from the directory. The buffer doubles while nothing fits, up to its cap:
// a system that keeps answering "too small" must not take all memory.
HRESULT FillBuffer(const ZYNSysNtDirectoryApi& api, ZYNSysNtDirState& state) {
    for (;;) {
        IO_STATUS_BLOCK io{};
        PUNICODE_STRING pattern = state.pattern.empty() ? nullptr : &state.nativePattern;
        const NTSTATUS status =
            api.NtQueryDirectoryFile(state.directory.Get(), nullptr, nullptr, nullptr, &io, state.buffer.get(),
                                     state.bufferSize, kFileDirectoryInformation, state.returnSingleEntry ? 1 : 0,
                                     pattern, state.restartScan ? 1 : 0);
        if (status == kStatusNoMoreFiles) return kNoMoreFiles;
        // A pattern that matches nothing is an empty listing, not a missing file.
        if (status == kStatusNoSuchFile) return kNoMoreFiles;
        const bool tooSmall = status == kStatusBufferOverflow || (NT_SUCCESS(status) && io.Information == 0);
        if (!tooSmall && !NT_SUCCESS(status)) return StatusToHResult(api, status);
        if (!tooSmall) {
            state.returnSingleEntry = false;
            state.restartScan = false;
            state.nextEntry = 0;
            return S_OK;
        }
        if (state.bufferSize >= kZYNSysDirBufferCap) return Win32ErrorToHResult(ERROR_MORE_DATA);
        const std::uint32_t larger = state.bufferSize * 2 > kZYNSysDirBufferCap ? kZYNSysDirBufferCap
                                                                                 : state.bufferSize * 2;
        std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[larger]);
        if (!buffer) return E_OUTOFMEMORY;
        state.buffer = std::move(buffer);
        state.bufferSize = larger;
    }
}

bool MatchesCaseSensitively(const ZYNSysNtDirectoryApi& api, ZYNSysNtDirState& state) {
    UNICODE_STRING name{};
    name.Buffer = const_cast<PWSTR>(state.currentName.c_str());
    name.Length = static_cast<USHORT>(state.currentName.size() * sizeof(wchar_t));
    name.MaximumLength = name.Length;
    return api.RtlIsNameInExpression(&state.nativePattern, &name, FALSE, nullptr) != 0;
}

}  // namespace

bool ZYNSysNtDirectoryApi::CanList() const {
    return NtCreateFile && NtQueryDirectoryFile && RtlInitUnicodeString && RtlUpcaseUnicodeString &&
           RtlFreeUnicodeString && RtlNtStatusToDosError;
}

HRESULT LoadNtdllDirectoryApi(ZYNSysNtDirectoryApi* api, ZYNSysNtdllResolver* resolver) {
    if (!api) return E_INVALIDARG;
    NtdllResolver ntdll;
    ZYNSysNtdllResolver& find = resolver ? *resolver : ntdll;
    ZYNSysNtDirectoryApi loaded;
    loaded.NtCreateFile = reinterpret_cast<ZYNSysNtDirectoryApi::NtCreateFileFn>(find.Find("NtCreateFile"));
    loaded.NtQueryDirectoryFile =
        reinterpret_cast<ZYNSysNtDirectoryApi::NtQueryDirectoryFileFn>(find.Find("NtQueryDirectoryFile"));
    loaded.RtlInitUnicodeString =
        reinterpret_cast<ZYNSysNtDirectoryApi::RtlInitUnicodeStringFn>(find.Find("RtlInitUnicodeString"));
    loaded.RtlIsNameInExpression =
        reinterpret_cast<ZYNSysNtDirectoryApi::RtlIsNameInExpressionFn>(find.Find("RtlIsNameInExpression"));
    loaded.RtlUpcaseUnicodeString =
        reinterpret_cast<ZYNSysNtDirectoryApi::RtlUpcaseUnicodeStringFn>(find.Find("RtlUpcaseUnicodeString"));
    loaded.RtlFreeUnicodeString =
        reinterpret_cast<ZYNSysNtDirectoryApi::RtlFreeUnicodeStringFn>(find.Find("RtlFreeUnicodeString"));
    loaded.RtlNtStatusToDosError =
        reinterpret_cast<ZYNSysNtDirectoryApi::RtlNtStatusToDosErrorFn>(find.Find("RtlNtStatusToDosError"));
    *api = loaded;
    return loaded.CanList() ? S_OK : E_UNEXPECTED;
}

const ZYNSysNtDirectoryApi& ZYNSysGetNtDirectoryApi() {
    const ZYNSysNtDirectoryApi* installed = g_installedApi.load();
    return installed ? *installed : NtdllApi();
}

void ZYNSysSetNtDirectoryApi(const ZYNSysNtDirectoryApi* api) { g_installedApi.store(api); }

void ZYNSysNtDirState::Close() {
    directory.Reset();
    buffer.reset();
    bufferSize = 0;
    nextEntry = 0;
}

HRESULT NtEnumerateDirectory(ZYNSysNtDirState* state, const QORInterUnicodeString& directory,
                             const QORInterUnicodeString& pattern, std::uint16_t flags) {
    if (!state) return E_INVALIDARG;
    if (directory.IsEmpty()) return E_INVALIDARG;
    const wchar_t* patternUnits = pattern.IsEmpty() ? nullptr : pattern.CastToWCharStar();
    if (patternUnits)
        for (const wchar_t* c = patternUnits; *c; ++c)
            if (ForbiddenInPattern(*c)) return E_INVALIDARG;
    const ZYNSysNtDirectoryApi& api = ZYNSysGetNtDirectoryApi();
    if (!api.CanList()) return E_UNEXPECTED;
    const bool caseSensitive = flags == 1 && patternUnits;
    if (caseSensitive && !api.RtlIsNameInExpression) return E_UNEXPECTED;

    ZYNSysPath path;
    HRESULT result = ResolvePathKindAndRealPath(directory, path);
    if (FAILED(result)) return result;
    try {
        std::wstring native;
        if (path.Flags() & kZYNSysPathUNC) {
            native = L"\\??\\UNC\\";
            native += path.Text() + path.PrefixLength();
        } else if (path.Flags() & kZYNSysPathRelative) {
            const DWORD size = ::GetCurrentDirectoryW(0, nullptr);
            if (size == 0) return Win32ErrorToHResult(::GetLastError());
            std::wstring current(size, L'\0');
            const DWORD written = ::GetCurrentDirectoryW(size, &current[0]);
            if (written == 0 || written >= size) return Win32ErrorToHResult(::GetLastError());
            current.resize(written);
            ZYNSysPath absolute;
            result = absolute.SetWide(current.c_str());
            if (SUCCEEDED(result)) result = absolute.AppendWide(path.Text());
            if (FAILED(result)) return result;
            native = L"\\??\\";
            native += absolute.Text() + 4;
        } else if (path.Flags() & kZYNSysPathDrive) {
            // After "\\?\": the drive letter stays.
            native = L"\\??\\";
            native += path.Text() + 4;
        } else {
            // A real path that is a web address or logical again names no folder.
            return E_INVALIDARG;
        }
        if (native.back() != L'\\') native += L'\\';
        if (native.size() * sizeof(wchar_t) > 0xFFFE) return Win32ErrorToHResult(ERROR_FILENAME_EXCED_RANGE);

        state->Close();
        state->flags = flags;
        state->returnSingleEntry = true;
        state->restartScan = true;
        state->pattern = patternUnits ? patternUnits : L"";
        state->nativePattern = UNICODE_STRING{};
        if (!state->pattern.empty()) api.RtlInitUnicodeString(&state->nativePattern, state->pattern.c_str());
        state->currentName.clear();

        UNICODE_STRING name{};
        name.Buffer = &native[0];
        name.Length = static_cast<USHORT>(native.size() * sizeof(wchar_t));
        name.MaximumLength = name.Length;
        OBJECT_ATTRIBUTES attributes{};
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        IO_STATUS_BLOCK io{};
        HANDLE handle = nullptr;
        const NTSTATUS status =
            api.NtCreateFile(&handle, 0x100001, &attributes, &io, nullptr, 0,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 1 /* open existing */,
                             33 /* directory, synchronous I/O */, nullptr, 0);
        if (!NT_SUCCESS(status)) return StatusToHResult(api, status);
        state->directory.Reset(handle);
        state->buffer.reset(new (std::nothrow) unsigned char[kZYNSysDirBufferStart]);
        if (!state->buffer) {
            state->Close();
            return E_OUTOFMEMORY;
        }
        state->bufferSize = kZYNSysDirBufferStart;
        state->nextEntry = state->bufferSize;
    } catch (...) {
        state->Close();
        return E_OUTOFMEMORY;
    }
    return NtNextDirectoryEntry(state);
}

HRESULT NtNextDirectoryEntry(ZYNSysNtDirState* state) {
    if (!state || !state->directory) return E_FAIL;
    const ZYNSysNtDirectoryApi& api = ZYNSysGetNtDirectoryApi();
    if (!api.CanList()) return E_UNEXPECTED;
    const bool caseSensitive = state->flags == 1 && !state->pattern.empty();
    if (caseSensitive && !api.RtlIsNameInExpression) return E_UNEXPECTED;
    try {
        for (;;) {
            if (state->nextEntry >= state->bufferSize) {
                const HRESULT filled = FillBuffer(api, *state);
                if (filled != S_OK) return filled;
            }
            const unsigned char* at = state->buffer.get() + state->nextEntry;
            const DirectoryEntry* entry = reinterpret_cast<const DirectoryEntry*>(at);
            const std::size_t room = state->bufferSize - state->nextEntry;
            if (room < kEntryHeader || entry->FileNameLength > room - kEntryHeader) return E_UNEXPECTED;
            state->currentName.assign(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            state->nextEntry = entry->NextEntryOffset ? state->nextEntry + entry->NextEntryOffset : state->bufferSize;
            if (caseSensitive && !MatchesCaseSensitively(api, *state)) continue;
            return S_OK;
        }
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}
