#include "ZYNSysEnvironment.h"

#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

#include "ZYNSysWin.h"

#include <shlwapi.h>

#include "QORInterUnicodeString.h"
#include "ZYNSysContext.h"

namespace {

constexpr DWORD kFirstRoom = 260;

// The folder three levels above the module "QORSysTS", or above this program when that module is
// not loaded. The static program needs no pinning of the module: it cannot be unloaded.
std::unique_ptr<wchar_t[]> ComputeInstallPath() {
    HMODULE module = ::GetModuleHandleW(L"QORSysTS");
    for (DWORD room = MAX_PATH; room <= 32768 * 2; room *= 2) {
        std::unique_ptr<wchar_t[]> path(new (std::nothrow) wchar_t[room]);
        if (!path) return nullptr;
        const DWORD length = ::GetModuleFileNameW(module, path.get(), room);
        if (length == 0) return nullptr;
        if (length < room) {
            for (int i = 0; i < 3; ++i) ::PathRemoveFileSpecW(path.get());
            return path;
        }
    }
    return nullptr;
}

// Kept for the process: lookups may still run from exit handlers after the statics are freed.
const wchar_t* InstallPath() {
    static const wchar_t* const path = ComputeInstallPath().release();
    return path ? path : L"";
}

// The value of the process variable, or null when it is unset or empty.
std::unique_ptr<wchar_t[]> ReadVariable(const wchar_t* name) {
    DWORD room = kFirstRoom;
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::unique_ptr<wchar_t[]> value(new (std::nothrow) wchar_t[room]);
        if (!value) return nullptr;
        const DWORD length = ::GetEnvironmentVariableW(name, value.get(), room);
        if (length == 0) return nullptr;
        if (length < room) return value;
        // Longer than the room: the answer is the size with the terminator; it may grow meanwhile.
        room = length;
    }
    return nullptr;
}

}  // namespace

int GetEnvironmentPath(const char* name, QORInterUnicodeString* out) {
    if (out) *out = QORInterUnicodeString();
    if (!name || !*name) return 0;
    const std::size_t bytes = std::strlen(name);
    std::unique_ptr<wchar_t[]> wide(new (std::nothrow) wchar_t[bytes + 1]);
    if (!wide || Utf8ToWideBuffer(wide.get(), bytes + 1, name) != 0) return 0;
    if (std::unique_ptr<wchar_t[]> value = ReadVariable(wide.get())) {
        if (out) out->BuildFromWide(value.get());
        return 1;
    }
    if (const char* value = ZYNSysContextGetVariable(name)) {
        if (out) out->AssignChars(value);
        return 1;
    }
    if (std::strcmp(name, "QORInstallPath") != 0) return 0;
    if (out) out->BuildFromWide(InstallPath());
    return 1;
}
