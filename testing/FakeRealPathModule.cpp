// "vtrealpath.dll": resolves logical paths for the path tests. "QORDLN://<text>" has the real
// path <text>, handed out in LocalAlloc memory as the caller frees it.

#include <windows.h>

#include <cstring>
#include <cwchar>

extern "C" __declspec(dllexport) HRESULT ZYNGetRealPath(const wchar_t* path, wchar_t** realPath, int, int, int) {
    static const wchar_t kHead[] = L"QORDLN://";
    constexpr std::size_t kHeadUnits = sizeof kHead / sizeof kHead[0] - 1;
    if (!path || !realPath || std::wcsncmp(path, kHead, kHeadUnits) != 0) return E_INVALIDARG;
    const wchar_t* rest = path + kHeadUnits;
    const std::size_t bytes = (std::wcslen(rest) + 1) * sizeof(wchar_t);
    void* copy = ::LocalAlloc(LMEM_FIXED, bytes);
    if (!copy) return E_OUTOFMEMORY;
    std::memcpy(copy, rest, bytes);
    *realPath = static_cast<wchar_t*>(copy);
    return S_OK;
}
