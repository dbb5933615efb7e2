#include "ZYNSysPath.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "QORResourceLock.h"
#include "QORThrLibraryManager.h"
#include "ZYNSysCodePage.h"
#include "ZYNSysDirListing.h"
#include "ZYNSysLocalMemory.h"
#include "ZYNSysTraceClient.h"
#include "ZYNSysTreeRemoval.h"
#include "ZYNSysUTF8.h"

class ZYNSysPathImpl {
public:
    virtual ~ZYNSysPathImpl() = default;

    std::unique_ptr<wchar_t[]> buffer;
    QORInterUnicodeString realPath;
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    std::uint32_t flags = kZYNSysPathInvalid;
    std::uint16_t length = 0;
    std::uint16_t prefixLength = 0;
    bool attributesValid = false;
};

class ZYNSysDirIteratorImpl {
public:
    virtual ~ZYNSysDirIteratorImpl() = default;

    ZYNSysPath current;
    std::wstring name;
    std::unique_ptr<ZYNSysNtDirState> native;
    // Which path object the iterator lists: compared, never followed.
    const ZYNSysPathImpl* directoryIdentity = nullptr;
    ZYNSysPath directory;
    std::wstring pattern;
    int state = -1;
    std::uint16_t flags = 0;
    std::uint32_t count = 0;
};

namespace {

constexpr HRESULT kNoMoreFiles = static_cast<HRESULT>(0x80070012);
constexpr HRESULT kBadNetPath = static_cast<HRESULT>(0x80070035);
constexpr HRESULT kNoHttpInfo = static_cast<HRESULT>(0x8007045A);
constexpr std::size_t kMaxPathUnits = 32767;
constexpr std::size_t kMaxComponentUnits = 256;
constexpr std::uint64_t kUnixEpochFileTime = 116444736000000000ULL;

bool IsLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }
bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }
bool StartsWith(const wchar_t* text, std::size_t length, const wchar_t* head) {
    const std::size_t n = std::wcslen(head);
    return length >= n && std::wmemcmp(text, head, n) == 0;
}
bool IsWeb(std::uint32_t flags) { return (flags & (kZYNSysPathHttp | kZYNSysPathHttps)) != 0; }

// ---- the trace of this module -----------------------------------------------------------

void TracePathFailure(const char* what, const wchar_t* path) {
    static ZYNSysTraceClient* s_trace = nullptr;
    ZYNSysTraceClient::Create(&s_trace, "ZYNSysPath");
    if (s_trace) ZYNSysTraceClient::InfoPrintf(s_trace, "%s : Path is %ls", what, path ? path : L"");
}

// ---- the optional module that resolves logical paths and web attributes -----------------

using HttpInfoFn = HRESULT (*)(const char* path, ZYNSysStat* stat);
using GetRealPathFn = HRESULT (*)(const wchar_t* path, wchar_t** realPath, int, int, int);

void* Kt7GroupFunction(const char* name) {
    return QORThrLibraryManager::GetFunctionAddress("KT7GROUP", name).address;
}
HttpInfoFn HttpInfo() {
    static const HttpInfoFn function = reinterpret_cast<HttpInfoFn>(Kt7GroupFunction("HttpInfo"));
    return function;
}
GetRealPathFn GetRealPathFunction() {
    static const GetRealPathFn function = reinterpret_cast<GetRealPathFn>(Kt7GroupFunction("ZYNGetRealPath"));
    return function;
}

// ---- attribute queries and the unreachable servers -------------------------------------

class SystemAttributeQuery : public ZYNSysFileAttributeQuery {
public:
    BOOL Query(const wchar_t* path, WIN32_FILE_ATTRIBUTE_DATA* data, DWORD* error) override {
        if (::GetFileAttributesExW(path, GetFileExInfoStandard, data)) return TRUE;
        *error = ::GetLastError();
        return FALSE;
    }
};
// Never destroyed, like the other process-wide objects here: threads may still ask while
// the process exits.
ZYNSysFileAttributeQuery& SystemQuery() {
    alignas(SystemAttributeQuery) static unsigned char storage[sizeof(SystemAttributeQuery)];
    static SystemAttributeQuery* const query = new (storage) SystemAttributeQuery();
    return *query;
}
std::atomic<ZYNSysFileAttributeQuery*> g_attributeQuery{nullptr};  // null: the system's

ZYNSysFileAttributeQuery& AttributeQuery() {
    ZYNSysFileAttributeQuery* installed = g_attributeQuery.load();
    return installed ? *installed : SystemQuery();
}

// Servers that answered "bad network path" once, ':'-separated; never asked again.
struct UnreachableServers {
    QORResourceLock lock;
    std::wstring list;
};
UnreachableServers& Servers() {
    alignas(UnreachableServers) static unsigned char storage[sizeof(UnreachableServers)];
    static UnreachableServers* const servers = new (storage) UnreachableServers();
    return *servers;
}

// Whole entries only, ignoring case: "srv" is not barred by "srv12".
bool ListHoldsServer(const std::wstring& list, const std::wstring& server) {
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(L':', start);
        if (end == std::wstring::npos) end = list.size();
        if (end - start == server.size() &&
            ::CompareStringOrdinal(list.data() + start, static_cast<int>(end - start), server.data(),
                                   static_cast<int>(server.size()), TRUE) == CSTR_EQUAL)
            return true;
        start = end + 1;
    }
    return false;
}

bool ServerIsBarred(const std::wstring& server) {
    UnreachableServers& servers = Servers();
    servers.lock.ReadLock();
    const bool barred = ListHoldsServer(servers.list, server);
    servers.lock.ReadUnlock();
    return barred;
}

void BarServer(const std::wstring& server) {
    UnreachableServers& servers = Servers();
    servers.lock.WriteLock();
    try {
        if (!ListHoldsServer(servers.list, server)) {
            if (!servers.list.empty()) servers.list += L':';
            servers.list += server;
        }
    } catch (...) {
        // Short of memory the server is simply asked again next time.
    }
    servers.lock.WriteUnlock();
}

// The server of a canonical UNC path ("\\?\UNC\server\...").
std::wstring UncServer(const ZYNSysPathImpl& impl) {
    const wchar_t* text = impl.buffer.get() + impl.prefixLength;
    std::size_t n = 0;
    while (text[n] && text[n] != L'\\') ++n;
    return std::wstring(text, n);
}

// ---- kinds, validation and canonical form ------------------------------------------------

HRESULT DetectPrefix(ZYNSysPathImpl& impl) {
    impl.flags = kZYNSysPathInvalid;
    impl.prefixLength = 0;
    const wchar_t* t = impl.buffer.get();
    const std::size_t n = impl.length;
    if (n == 0) return E_FAIL;
    std::uint32_t flags = 0;
    std::uint16_t prefix = 0;
    if (n >= 3 && t[0] == 1 && t[1] == 2 && t[2] == L'\\') {
        prefix = 3;
        flags = kZYNSysPathLogical;
    } else if (StartsWith(t, n, L"http://")) {
        prefix = 7;
        flags = kZYNSysPathHttp;
    } else if (StartsWith(t, n, L"https://")) {
        prefix = 8;
        flags = kZYNSysPathHttps;
    } else if (n >= 2 && IsLetter(t[0]) && t[1] == L':') {
        prefix = 2;
        flags = kZYNSysPathDrive | kZYNSysPathAbsolute;
    } else if (StartsWith(t, n, L"\\\\?\\UNC\\")) {
        if (n >= 10 && IsLetter(t[8]) && t[9] == L':') return E_FAIL;
        prefix = 8;
        flags = kZYNSysPathUNC | kZYNSysPathAbsolute;
    } else if (StartsWith(t, n, L"\\\\?\\")) {
        if (!(n >= 6 && IsLetter(t[4]) && t[5] == L':')) return E_FAIL;
        prefix = 6;
        flags = kZYNSysPathDrive | kZYNSysPathAbsolute;
    } else if (StartsWith(t, n, L"\\\\")) {
        prefix = 2;
        flags = kZYNSysPathUNC | kZYNSysPathAbsolute;
    } else if (n >= 2 && IsLetter(t[0]) && t[1] == L'\\') {
        return E_FAIL;
    } else {
        flags = kZYNSysPathRelative;
    }
    impl.flags = flags;
    impl.prefixLength = prefix;
    return S_OK;
}

bool ForbiddenInPath(wchar_t c) {
    return c < 32 || c == L'"' || c == L'*' || c == L':' || c == L'<' || c == L'>' || c == L'?' || c == L'|';
}
bool ForbiddenInWeb(wchar_t c) { return c < 32 || c > 125; }

// The text after a prefix: its characters, and for long texts its component lengths.
HRESULT ValidateText(const wchar_t* text, std::size_t n, std::size_t total, bool web) {
    if (!web && total > kMaxPathUnits) return E_FAIL;
    std::size_t component = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const wchar_t c = text[i];
        if (web ? ForbiddenInWeb(c) : ForbiddenInPath(c)) return E_FAIL;
        if (web) continue;
        component = c == L'\\' ? 0 : component + 1;
        if (total >= 256 && component >= kMaxComponentUnits) return E_FAIL;
    }
    return S_OK;
}

HRESULT Validate(const ZYNSysPathImpl& impl) {
    if (impl.length <= impl.prefixLength) return E_FAIL;
    return ValidateText(impl.buffer.get() + impl.prefixLength, impl.length - impl.prefixLength, impl.length,
                        IsWeb(impl.flags));
}

bool StoreText(ZYNSysPathImpl& impl, const wchar_t* text, std::size_t n) {
    if (n > 0xFFFF - 1) return false;
    std::unique_ptr<wchar_t[]> copy(new (std::nothrow) wchar_t[n + 1]);
    if (!copy) return false;
    std::wmemcpy(copy.get(), text, n);
    copy[n] = 0;
    impl.buffer = std::move(copy);
    impl.length = static_cast<std::uint16_t>(n);
    return true;
}

// Resolves "." and ".." after the root, never climbing above it: the "\\?\" form takes
// both literally, and a share or drive must bound the path whatever its length.
HRESULT ResolveDots(std::wstring& text, std::size_t prefix, bool unc) {
    // The root's text ends here, its separator excluded: "\\?\C:" or "\\?\UNC\server\share".
    std::size_t rootEnd = prefix;
    if (unc) {
        for (int part = 0; part < 2 && rootEnd < text.size(); ++part) {
            const std::size_t begin = part == 0 ? rootEnd : rootEnd + 1;
            std::size_t end = text.find(L'\\', begin);
            if (end == std::wstring::npos) end = text.size();
            const std::wstring name = text.substr(begin, end - begin);
            if (name == L"." || name == L"..") return Win32ErrorToHResult(ERROR_INVALID_NAME);
            rootEnd = end;
        }
    }
    if (rootEnd >= text.size()) return S_OK;
    std::wstring kept;
    std::size_t pos = text[rootEnd] == L'\\' ? rootEnd + 1 : rootEnd;
    while (pos <= text.size()) {
        std::size_t end = text.find(L'\\', pos);
        if (end == std::wstring::npos) end = text.size();
        const std::wstring_view part(text.data() + pos, end - pos);
        if (part == L"..") {
            const std::size_t cut = kept.rfind(L'\\');
            kept.erase(cut == std::wstring::npos ? 0 : cut);
        } else if (!part.empty() && part != L".") {
            if (!kept.empty()) kept += L'\\';
            kept.append(part);
        }
        pos = end + 1;
    }
    std::wstring result = text.substr(0, rootEnd);
    if (!kept.empty() || !unc) result += L'\\';
    result += kept;
    text.swap(result);
    return S_OK;
}

HRESULT CanonicalizeImpl(ZYNSysPathImpl& impl) {
    if (impl.flags & kZYNSysPathInvalid) return E_FAIL;
    if ((impl.flags & kZYNSysPathCanonical) || IsWeb(impl.flags)) return S_OK;
    try {
        std::wstring text(impl.buffer.get(), impl.length);
        for (wchar_t& c : text)
            if (c == L'/') c = L'\\';
        std::size_t prefix = impl.prefixLength;
        const bool drive = (impl.flags & kZYNSysPathDrive) != 0;
        const bool unc = (impl.flags & kZYNSysPathUNC) != 0;
        if (drive && prefix == 2) {
            text.insert(0, L"\\\\?\\");
            prefix = 6;
        } else if (unc && prefix == 2) {
            text.replace(0, 2, L"\\\\?\\UNC\\");
            prefix = 8;
        }
        if (drive || unc) {
            std::wstring collapsed = text.substr(0, prefix);
            for (std::size_t i = prefix; i < text.size(); ++i)
                if (text[i] != L'\\' || collapsed.back() != L'\\') collapsed += text[i];
            text.swap(collapsed);
            const HRESULT resolved = ResolveDots(text, prefix, unc);
            if (FAILED(resolved)) {
                impl.flags |= kZYNSysPathInvalid;
                return resolved;
            }
            if (text.size() > kMaxPathUnits + prefix) {
                impl.flags |= kZYNSysPathInvalid;
                return E_FAIL;
            }
        }
        if (!StoreText(impl, text.data(), text.size())) {
            impl.flags |= kZYNSysPathInvalid;
            return E_OUTOFMEMORY;
        }
        impl.prefixLength = static_cast<std::uint16_t>(prefix);
        impl.flags |= kZYNSysPathCanonical;
        return S_OK;
    } catch (...) {
        impl.flags |= kZYNSysPathInvalid;
        return E_OUTOFMEMORY;
    }
}

HRESULT SetText(ZYNSysPathImpl& impl, const wchar_t* text, std::size_t n) {
    impl.attributesValid = false;
    impl.realPath = QORInterUnicodeString();
    impl.flags = kZYNSysPathInvalid;
    if (!text || n == 0) return E_FAIL;
    if (!StoreText(impl, text, n)) return E_FAIL;
    HRESULT result = DetectPrefix(impl);
    if (SUCCEEDED(result)) result = Validate(impl);
    if (SUCCEEDED(result)) {
        const std::size_t least = impl.prefixLength + ((impl.flags & kZYNSysPathDrive) ? 1 : 0);
        if (impl.length > least && IsSeparator(impl.buffer[impl.length - 1])) impl.buffer[--impl.length] = 0;
        result = CanonicalizeImpl(impl);
    }
    if (FAILED(result)) impl.flags |= kZYNSysPathInvalid;
    return result;
}

HRESULT AppendText(ZYNSysPathImpl& impl, const wchar_t* component, std::size_t n) {
    impl.attributesValid = false;
    impl.realPath = QORInterUnicodeString();
    if (!impl.buffer || (impl.flags & kZYNSysPathInvalid)) return E_FAIL;
    if (n == 0 || (n == 1 && component[0] == L'.')) return S_OK;
    const bool web = IsWeb(impl.flags);
    while (n > 0 && IsSeparator(component[n - 1])) --n;
    if (n > 0 && IsSeparator(component[0])) {
        ++component;
        --n;
    }
    if (n == 0) return S_OK;
    if (FAILED(ValidateText(component, n, n, web))) return E_FAIL;
    try {
        std::wstring text(impl.buffer.get(), impl.length);
        const wchar_t separator = web ? L'/' : L'\\';
        if (text.back() != separator) text += separator;
        text.append(component, n);
        if (!web && FAILED(ValidateText(text.data() + impl.prefixLength, text.size() - impl.prefixLength,
                                        text.size(), false)))
            return E_FAIL;
        if (!StoreText(impl, text.data(), text.size())) return E_OUTOFMEMORY;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    impl.flags &= ~kZYNSysPathCanonical;
    return CanonicalizeImpl(impl);
}

bool RealPathOf(ZYNSysPathImpl& impl, QORInterUnicodeString& out) {
    if (!impl.buffer || !(impl.flags & kZYNSysPathLogical)) return false;
    if (impl.realPath.IsEmpty()) {
        const GetRealPathFn resolve = GetRealPathFunction();
        if (resolve) {
            ZYNSysLocalPointer<wchar_t*> real;
            if (resolve(impl.buffer.get(), real.Put(), 0, 0, 1) >= 0 && real.Get() && *real.Get())
                impl.realPath.BuildFromWide(real.Get());
        }
    }
    out = impl.realPath;
    return !impl.realPath.IsEmpty();
}

// ---- attributes ---------------------------------------------------------------------------

std::int64_t FileTimeSeconds(const FILETIME& time) {
    std::int64_t seconds = 0;
    FileTimeToTime(time, &seconds);
    return seconds;
}

HRESULT RefreshAttributes(ZYNSysPathImpl& impl, bool refresh) {
    if (!impl.buffer || (impl.flags & kZYNSysPathInvalid)) return E_FAIL;
    if (impl.attributesValid && !refresh) return S_OK;
    impl.attributesValid = false;
    std::wstring server;
    if (impl.flags & kZYNSysPathUNC) {
        try {
            server = UncServer(impl);
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        if (ServerIsBarred(server)) return kBadNetPath;
    }
    const wchar_t* target = impl.buffer.get();
    QORInterUnicodeString real;
    if (impl.flags & kZYNSysPathLogical) {
        // A logical path has the attributes of where it really is.
        if (!RealPathOf(impl, real)) return E_FAIL;
        target = real.CastToWCharStar();
        if (!target) return E_FAIL;
    }
    DWORD error = 0;
    if (!AttributeQuery().Query(target, &impl.attributes, &error)) {
        if (error == ERROR_BAD_NETPATH && !server.empty()) BarServer(server);
        return Win32ErrorToHResult(error);
    }
    impl.attributesValid = true;
    return S_OK;
}

HRESULT WebStat(const ZYNSysPathImpl& impl, ZYNSysStat* stat) {
    const HttpInfoFn info = HttpInfo();
    if (!info) return kNoHttpInfo;
    const std::size_t capacity = 2 * static_cast<std::size_t>(impl.length) + 1;
    std::unique_ptr<char[]> text(new (std::nothrow) char[capacity]());
    if (!text) return E_FAIL;
    ZYNSysCodePageConvertCurrent(impl.buffer.get(), impl.length, text.get(), capacity, nullptr);
    return info(text.get(), stat);
}

HRESULT StatImpl(ZYNSysPathImpl& impl, ZYNSysStat* out, bool refresh) {
    if (IsWeb(impl.flags) && !(impl.flags & kZYNSysPathInvalid)) return WebStat(impl, out);
    const HRESULT result = RefreshAttributes(impl, refresh);
    if (FAILED(result)) return result;
    const WIN32_FILE_ATTRIBUTE_DATA& a = impl.attributes;
    out->mode = (a.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0x100 : 0x1C0;
    out->mode |= (a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 0x4000 : 0x8000;
    out->size = (static_cast<std::int64_t>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
    out->lastAccess = FileTimeSeconds(a.ftLastAccessTime);
    out->lastWrite = FileTimeSeconds(a.ftLastWriteTime);
    out->creation = FileTimeSeconds(a.ftCreationTime);
    return S_OK;
}

// ---- the temporary directory --------------------------------------------------------------

// Kept for the process and never freed: a thread may still read it while the process exits.
std::atomic<wchar_t*> g_tempDirectory{nullptr};

HRESULT TempDirectory(const wchar_t** out) {
    if (wchar_t* known = g_tempDirectory.load()) {
        *out = known;
        return S_OK;
    }
    std::unique_ptr<wchar_t[]> text(new (std::nothrow) wchar_t[MAX_PATH + 1]);
    if (!text) return E_OUTOFMEMORY;
    DWORD n = ::GetTempPathW(MAX_PATH + 1, text.get());
    if (n == 0 || n > MAX_PATH) return Win32ErrorToHResult(n == 0 ? ::GetLastError() : ERROR_INSUFFICIENT_BUFFER);
    // A drive root keeps its separator: "R:" alone is no path.
    while (n > 1 && text[n - 1] == L'\\' && text[n - 2] != L':') text[--n] = 0;
    wchar_t* expected = nullptr;
    if (g_tempDirectory.compare_exchange_strong(expected, text.get())) {
        *out = text.release();
    } else {
        *out = expected;
    }
    return S_OK;
}

}  // namespace

// ---- free functions -----------------------------------------------------------------------

HRESULT Win32ErrorToHResult(DWORD code, DWORD facility) {
    return static_cast<HRESULT>(((facility | 0xFFFF8000u) << 16) | (code & 0xFFFFu));
}

HRESULT FileTimeToTime(const FILETIME& time, std::int64_t* seconds) {
    if (!seconds) return E_INVALIDARG;
    // Read and parsed once: a pointer into the environment would dangle once it changes.
    struct DstSetting {
        bool set;
        std::int64_t seconds;
    };
    static const DstSetting dstSetting = [] {
        const char* value = std::getenv("QORDSTSETTING");
        return DstSetting{value != nullptr, value ? std::strtoll(value, nullptr, 10) : 0};
    }();
    const std::uint64_t ticks = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    if (!dstSetting.set) {
        *seconds = (static_cast<std::int64_t>(ticks) - static_cast<std::int64_t>(kUnixEpochFileTime)) / 10000000;
        return S_OK;
    }
    FILETIME local{};
    SYSTEMTIME fields{};
    if (!::FileTimeToLocalFileTime(&time, &local) || !::FileTimeToSystemTime(&local, &fields))
        return Win32ErrorToHResult(::GetLastError());
    std::tm calendar{};
    calendar.tm_year = fields.wYear - 1900;
    calendar.tm_mon = fields.wMonth - 1;
    calendar.tm_mday = fields.wDay;
    calendar.tm_hour = fields.wHour;
    calendar.tm_min = fields.wMinute;
    calendar.tm_sec = fields.wSecond;
    calendar.tm_isdst = -1;
    const std::time_t converted = std::mktime(&calendar);
    if (converted == static_cast<std::time_t>(-1)) return E_FAIL;
    *seconds = static_cast<std::int64_t>(converted);
    if (calendar.tm_isdst > 0) *seconds += dstSetting.seconds;
    return S_OK;
}

HRESULT ClassifyPathKind(const wchar_t* text, int* kind, int length) {
    if (!text || !kind) return Win32ErrorToHResult(ERROR_INVALID_HANDLE);
    const std::size_t n = length > 0 ? static_cast<std::size_t>(length) : std::wcslen(text);
    if (n > 3 && text[0] == 1 && text[1] == 2 && text[2] == L'\\') {
        *kind = 5;
    } else if (n > 7 && StartsWith(text, n, L"http://")) {
        *kind = 2;
    } else if (n > 8 && StartsWith(text, n, L"https://")) {
        *kind = 10;
    } else if (n > 3 && IsLetter(text[0]) && text[1] == L':' && text[2] == L'\\') {
        *kind = 4;
    } else if (n > 3 && text[0] == L'\\' && text[1] == L'\\') {
        *kind = 18;
    } else if (n > 9 && StartsWith(text, n, L"QORDLN://")) {
        *kind = 9;
    } else if (std::wstring_view(text, n).find(L"://") != std::wstring_view::npos) {
        *kind = 16;
    } else if (n >= 2 && text[0] != L'\\') {
        *kind = 6;
    } else {
        *kind = -1;
        return E_FAIL;
    }
    return S_OK;
}

HRESULT ResolvePathKindAndRealPath(const QORInterUnicodeString& text, ZYNSysPath& path) {
    ZYNSysPathImpl* impl = path.Impl();
    if (!impl) return E_POINTER;
    HRESULT result = path.SetString(text);
    if (SUCCEEDED(result)) {
        if (IsWeb(impl->flags)) return E_NOTIMPL;
        if (!(impl->flags & kZYNSysPathLogical)) return result;
    } else {
        int kind = -1;
        const wchar_t* units = text.CastToWCharStar();
        if (!units || FAILED(ClassifyPathKind(units, &kind)) || (kind != 5 && kind != 9)) return result;
        try {
            const std::size_t n = std::wcslen(units);
            if (!StoreText(*impl, units, n)) return E_INVALIDARG;
            impl->flags = kZYNSysPathLogical | kZYNSysPathCanonical;
            impl->prefixLength = 0;
        } catch (...) {
            return E_INVALIDARG;
        }
    }
    QORInterUnicodeString real;
    if (!path.GetRealPath(real)) {
        impl->flags |= kZYNSysPathInvalid;
        return E_INVALIDARG;
    }
    result = path.SetString(real);
    return FAILED(result) ? E_INVALIDARG : result;
}

void ZYNSysSetFileAttributeQuery(ZYNSysFileAttributeQuery* query) {
    g_attributeQuery.store(query);
}

// ---- ZYNSysPath -----------------------------------------------------------------------------

ZYNSysPath::ZYNSysPath() : impl_(new (std::nothrow) ZYNSysPathImpl) {}

ZYNSysPath::ZYNSysPath(const ZYNSysPath& other) : ZYNSysPath() { Assign(other); }

ZYNSysPath& ZYNSysPath::operator=(const ZYNSysPath& other) {
    if (this != &other) Assign(other);
    return *this;
}

ZYNSysPath::~ZYNSysPath() { delete impl_; }

HRESULT ZYNSysPath::SetString(const QORInterUnicodeString& text) {
    if (!impl_) return E_POINTER;
    const wchar_t* units = text.CastToWCharStar();
    return SetText(*impl_, units, units ? std::wcslen(units) : 0);
}

HRESULT ZYNSysPath::BuildFromUTF8(const char* text) {
    if (!impl_) return E_POINTER;
    HRESULT result = S_OK;
    std::wstring wide;
    try {
        if (!text) {
            result = E_FAIL;
        } else if (!*text) {
            result = E_INVALIDARG;
        } else {
            const std::size_t bytes = std::strlen(text);
            wide.resize(bytes);
            if (ZYNSysUTF8::DecodeStrict(text, bytes, &wide[0], bytes) < 0) {
                // The text goes to the trace as far as it decodes.
                std::size_t lossy = ZYNSysUTF8::Decode(text, bytes, &wide[0], bytes);
                wide.resize(lossy);
                result = E_INVALIDARG;
            } else {
                long units = 0;
                ZYNSysUTF8ToUTF16(text, static_cast<long>(bytes), &wide[0], &units);
                wide.resize(static_cast<std::size_t>(units));
                result = SetText(*impl_, wide.data(), wide.size());
            }
        }
    } catch (...) {
        result = E_OUTOFMEMORY;
    }
    if (FAILED(result)) {
        impl_->flags |= kZYNSysPathInvalid;
        TracePathFailure("BuildFromUTF8 Failed", wide.c_str());
    }
    return result;
}

HRESULT ZYNSysPath::SetWide(const wchar_t* text) {
    if (!impl_) return E_POINTER;
    if (!text || !*text) {
        impl_->flags |= kZYNSysPathInvalid;
        return E_FAIL;
    }
    return SetText(*impl_, text, std::wcslen(text));
}

HRESULT ZYNSysPath::ToString(QORInterUnicodeString& out) {
    if (!impl_) return E_POINTER;
    if (!impl_->buffer) return E_FAIL;
    CanonicalizeImpl(*impl_);
    if (out.BuildFromWideN(impl_->buffer.get(), impl_->length) < 0) return E_FAIL;
    return S_OK;
}

HRESULT ZYNSysPath::Append(const QORInterUnicodeString& component) {
    if (!impl_) return E_POINTER;
    const wchar_t* units = component.CastToWCharStar();
    return AppendText(*impl_, units, units ? std::wcslen(units) : 0);
}

HRESULT ZYNSysPath::AppendUTF8(const char* component) {
    if (!impl_) return E_POINTER;
    if (!component) return E_INVALIDARG;
    try {
        const std::size_t bytes = std::strlen(component);
        std::wstring wide(bytes + 1, L'\0');
        const std::int64_t units = ZYNSysUTF8::DecodeStrict(component, bytes, &wide[0], bytes);
        if (units < 0) return E_INVALIDARG;
        if (!impl_->buffer) return E_FAIL;
        return AppendText(*impl_, wide.data(), static_cast<std::size_t>(units));
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT ZYNSysPath::AppendWide(const wchar_t* component) {
    if (!impl_) return E_POINTER;
    return AppendText(*impl_, component, component ? std::wcslen(component) : 0);
}

namespace {

// Splits at the last separator: the parent keeps a drive's root separator.
HRESULT SplitLeaf(const ZYNSysPathImpl* impl, ZYNSysPath* parent, ZYNSysPath* leaf) {
    if (!impl) return E_POINTER;
    if (!impl->buffer || (impl->flags & kZYNSysPathInvalid)) return E_FAIL;
    const wchar_t* t = impl->buffer.get();
    std::size_t n = impl->length;
    const wchar_t separator = IsWeb(impl->flags) ? L'/' : L'\\';
    if (n > static_cast<std::size_t>(impl->prefixLength) + 1 && t[n - 1] == separator) --n;
    std::size_t cut = n;
    for (std::size_t i = n; i > impl->prefixLength; --i)
        if (t[i - 1] == separator) {
            cut = i - 1;
            break;
        }
    try {
        if (cut == n) {
            if (parent) parent->SetWide(L"");
            if (!leaf) return S_OK;
            if (!leaf->Impl()) return E_POINTER;
            return SetText(*leaf->Impl(), t, n);
        }
        std::size_t parentLength = cut;
        if ((impl->flags & kZYNSysPathDrive) && cut == impl->prefixLength) ++parentLength;
        HRESULT result = S_OK;
        if (parent) {
            if (!parent->Impl()) return E_POINTER;
            result = SetText(*parent->Impl(), t, parentLength);
        }
        if (leaf) {
            if (!leaf->Impl()) return E_POINTER;
            const HRESULT leafResult = SetText(*leaf->Impl(), t + cut + 1, n - cut - 1);
            if (FAILED(leafResult)) return leafResult;
        }
        return result;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace

void ZYNSysPath::GetParent(ZYNSysPath& out, HRESULT* result) const {
    if (result && FAILED(*result)) return;
    const HRESULT r = SplitLeaf(impl_, &out, nullptr);
    if (result) *result = r;
}

void ZYNSysPath::GetLeaf(ZYNSysPath& out, HRESULT* result) const {
    if (result && FAILED(*result)) return;
    ZYNSysPath parent;
    HRESULT r = SplitLeaf(impl_, &parent, &out);
    if (SUCCEEDED(r) && !parent.IsValid()) {
        out.Assign(*this);
        r = S_OK;
    }
    if (result) *result = r;
}

bool ZYNSysPath::IsDirectory(bool refresh) {
    if (!impl_) return false;
    if (IsWeb(impl_->flags)) {
        ZYNSysStat stat;
        return SUCCEEDED(Stat(&stat, refresh)) && (stat.mode & 0x4000) != 0;
    }
    return SUCCEEDED(RefreshAttributes(*impl_, refresh)) &&
           (impl_->attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool ZYNSysPath::IsFile(bool refresh) {
    if (!impl_) return false;
    if (IsWeb(impl_->flags)) {
        ZYNSysStat stat;
        return SUCCEEDED(Stat(&stat, refresh)) && (stat.mode & 0x8000) != 0;
    }
    return SUCCEEDED(RefreshAttributes(*impl_, refresh)) &&
           (impl_->attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

HRESULT ZYNSysPath::Stat(ZYNSysStat* out, bool refresh) {
    if (!impl_) return E_POINTER;
    if (!out) return E_INVALIDARG;
    *out = ZYNSysStat{};
    return StatImpl(*impl_, out, refresh);
}

HRESULT ZYNSysPath::GetTimes(std::int64_t* lastWrite, std::int64_t* lastAccess) {
    ZYNSysStat stat;
    const HRESULT result = Stat(&stat, false);
    if (FAILED(result)) return result;
    if (lastWrite) *lastWrite = stat.lastWrite;
    if (lastAccess) *lastAccess = stat.lastAccess;
    return S_OK;
}

HRESULT ZYNSysPath::Remove(bool recursive) {
    if (!impl_) return E_POINTER;
    if (FAILED(RefreshAttributes(*impl_, true))) return E_FAIL;
    if (impl_->attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return RemoveTree(recursive);
    return DeleteFile();
}

HRESULT ZYNSysPath::DeleteFile() {
    if (!impl_) return E_POINTER;
    if (!impl_->buffer || (impl_->flags & kZYNSysPathInvalid) || IsWeb(impl_->flags)) return E_FAIL;
    if (IsDirectory(true)) return E_FAIL;
    impl_->attributesValid = false;
    if (!::DeleteFileW(impl_->buffer.get())) return Win32ErrorToHResult(::GetLastError());
    return S_OK;
}

HRESULT ZYNSysPath::RemoveTree(bool recursive) {
    if (!impl_) return E_POINTER;
    if (!IsDirectory(true)) return E_FAIL;
    impl_->attributesValid = false;
    // Where the attributes were read: a logical path is removed where it really is.
    QORInterUnicodeString real;
    const wchar_t* target = RealPathOf(*impl_, real) ? real.CastToWCharStar() : impl_->buffer.get();
    // A directory link is removed itself: walking it would empty its target.
    if (impl_->attributes.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        if (!::RemoveDirectoryW(target)) return Win32ErrorToHResult(::GetLastError());
        return S_OK;
    }
    const DWORD result = ZYNSysRemoveFolderTree(target, recursive);
    return result == ERROR_SUCCESS ? S_OK : Win32ErrorToHResult(result);
}

bool ZYNSysPath::GetRealPath(QORInterUnicodeString& out) {
    return impl_ && RealPathOf(*impl_, out);
}

HRESULT ZYNSysPath::SetToTempDirectory() {
    if (!impl_) return E_POINTER;
    const wchar_t* temp = nullptr;
    const HRESULT result = TempDirectory(&temp);
    if (FAILED(result)) {
        impl_->flags |= kZYNSysPathInvalid;
        return result;
    }
    return SetWide(temp);
}

void ZYNSysPath::ListDirectory(ZYNSysDirIterator& out, HRESULT* result) const {
    const HRESULT r = out.Begin(*this);
    if (result) *result = r;
}

void ZYNSysPath::EndIterator(ZYNSysDirIterator& out) const {
    if (!out.impl_) return;
    ZYNSysDirIteratorImpl& it = *out.impl_;
    it.native.reset();
    it.directoryIdentity = impl_;
    it.directory.Assign(*this);
    it.name.clear();
    it.pattern.clear();
    it.flags = 0;
    it.count = 0;
    it.state = 1;
}

void ZYNSysPath::Assign(const ZYNSysPath& other) {
    if (!impl_ || this == &other) return;
    const ZYNSysPathImpl* source = other.impl_;
    if (!source) {
        impl_->flags |= kZYNSysPathInvalid;
        return;
    }
    // The buffer is copied: two paths sharing one would free it twice.
    std::unique_ptr<wchar_t[]> copy;
    if (source->buffer) {
        copy.reset(new (std::nothrow) wchar_t[source->length + 1]);
        if (!copy) {
            impl_->flags |= kZYNSysPathInvalid;
            return;
        }
        std::wmemcpy(copy.get(), source->buffer.get(), source->length + 1);
    }
    impl_->buffer = std::move(copy);
    impl_->realPath = source->realPath;
    impl_->attributes = source->attributes;
    impl_->flags = source->flags;
    impl_->length = source->length;
    impl_->prefixLength = source->prefixLength;
    impl_->attributesValid = source->attributesValid;
}

void ZYNSysPath::Swap(ZYNSysPath& other) { std::swap(impl_, other.impl_); }

HRESULT ZYNSysPath::Canonicalize() {
    if (!impl_) return E_POINTER;
    return CanonicalizeImpl(*impl_);
}

const wchar_t* ZYNSysPath::Text() const { return impl_ ? impl_->buffer.get() : nullptr; }
std::uint32_t ZYNSysPath::Flags() const { return impl_ ? impl_->flags : kZYNSysPathInvalid; }
std::uint16_t ZYNSysPath::Length() const { return impl_ ? impl_->length : 0; }
std::uint16_t ZYNSysPath::PrefixLength() const { return impl_ ? impl_->prefixLength : 0; }

// ---- ZYNSysDirIterator --------------------------------------------------------------------

ZYNSysDirIterator::ZYNSysDirIterator() : impl_(new (std::nothrow) ZYNSysDirIteratorImpl) {}
ZYNSysDirIterator::~ZYNSysDirIterator() { delete impl_; }

namespace {

// Moves to the next real entry: "." and ".." are skipped.
HRESULT Advance(ZYNSysDirIteratorImpl& it, bool first) {
    for (;;) {
        HRESULT result = first ? S_OK : NtNextDirectoryEntry(it.native.get());
        first = false;
        if (result == S_OK) {
            const std::wstring& name = it.native->currentName;
            if (name == L"." || name == L"..") continue;
            try {
                it.name = name;
            } catch (...) {
                result = E_OUTOFMEMORY;
            }
            if (result == S_OK) {
                it.current.Assign(it.directory);
                result = it.current.AppendWide(it.name.c_str());
            }
            if (result == S_OK) {
                ++it.count;
                it.state = 0;
                return S_OK;
            }
        }
        it.native.reset();
        if (result == kNoMoreFiles) {
            it.state = 1;
            return 1;
        }
        it.state = -1;
        return result;
    }
}

}  // namespace

HRESULT ZYNSysDirIterator::Begin(const ZYNSysPath& directory, const wchar_t* pattern, std::uint16_t flags) {
    if (!impl_) return E_POINTER;
    ZYNSysDirIteratorImpl& it = *impl_;
    try {
        const std::wstring wanted = pattern ? pattern : L"";
        // The same path object may have been set to another folder since: its text must match too.
        const wchar_t* listed = it.directory.Text();
        const wchar_t* asked = directory.Text();
        if (it.state == 0 && it.count == 1 && it.directoryIdentity == directory.Impl() && it.flags == flags &&
            it.pattern == wanted && listed && asked && std::wcscmp(listed, asked) == 0)
            return S_OK;
        it.native.reset();
        it.state = -1;
        it.count = 0;
        it.name.clear();
        it.flags = flags;
        it.pattern = wanted;
        it.directoryIdentity = directory.Impl();
        it.directory.Assign(directory);
        if (!it.directory.IsDirectory(true)) return E_FAIL;
        it.native.reset(new (std::nothrow) ZYNSysNtDirState);
        if (!it.native) return E_OUTOFMEMORY;
        QORInterUnicodeString directoryText;
        QORInterUnicodeString patternText;
        if (it.directory.ToString(directoryText) < 0) return E_FAIL;
        if (!wanted.empty()) patternText.BuildFromWide(wanted.c_str());
        const HRESULT opened = NtEnumerateDirectory(it.native.get(), directoryText, patternText, flags);
        if (opened != S_OK && opened != kNoMoreFiles) {
            it.native.reset();
            return opened;
        }
        if (opened == kNoMoreFiles) {
            it.native.reset();
            it.state = 1;
            return 1;
        }
        return Advance(it, true);
    } catch (...) {
        it.native.reset();
        it.state = -1;
        return E_OUTOFMEMORY;
    }
}

HRESULT ZYNSysDirIterator::Next() {
    if (!impl_) return E_POINTER;
    if (impl_->state == 1) return 1;
    if (impl_->state != 0 || !impl_->native) return E_FAIL;
    return Advance(*impl_, false);
}

HRESULT ZYNSysDirIterator::GetCurrent(ZYNSysPath& out) const {
    if (!impl_) return E_POINTER;
    if (impl_->state != 0) return E_FAIL;
    out.Assign(impl_->current);
    return S_OK;
}

const wchar_t* ZYNSysDirIterator::CurrentName() const { return impl_ ? impl_->name.c_str() : L""; }

bool ZYNSysDirIterator::Equals(const ZYNSysDirIterator& other) const {
    if (!impl_ || !other.impl_) return impl_ == other.impl_;
    const ZYNSysDirIteratorImpl& a = *impl_;
    const ZYNSysDirIteratorImpl& b = *other.impl_;
    if (a.directoryIdentity != b.directoryIdentity) return false;
    if (a.state != 0 && b.state != 0) return true;
    return a.state == b.state && a.flags == b.flags && a.name == b.name && a.count == b.count;
}

int ZYNSysDirIterator::State() const { return impl_ ? impl_->state : -1; }
std::uint32_t ZYNSysDirIterator::Count() const { return impl_ ? impl_->count : 0; }
