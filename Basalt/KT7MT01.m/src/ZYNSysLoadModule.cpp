#include "ZYNSysLoadModule.h"

#include <cstring>

namespace {

constexpr char kSuffix[] = ".dll";
constexpr std::size_t kLongestName = MAX_PATH - sizeof kSuffix;

}  // namespace

ZYNSysModuleHandle ZYNSysLoadFrameworkModule(const char* shortName) {
    if (!shortName || !*shortName || std::strpbrk(shortName, "\\/:")) {
        ::SetLastError(ERROR_INVALID_NAME);
        return ZYNSysModuleHandle();
    }
    const std::size_t length = std::strlen(shortName);
    if (length > kLongestName) {
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return ZYNSysModuleHandle();
    }
    char file[MAX_PATH];
    std::memcpy(file, shortName, length);
    std::memcpy(file + length, kSuffix, sizeof kSuffix);
    return ZYNSysModuleHandle(
        ::LoadLibraryExA(file, nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32));
}
