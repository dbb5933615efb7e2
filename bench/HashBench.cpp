// MD5 speed of ToolBox::File::ComputeHash over one large file (MB here is 2^20 bytes).
//   hash_bench [MB]    writes a file of MB (default 512) next to the exe, hashes it, removes it
//   hash_bench PATH    hashes an existing file; bench/hash_bench.sh uses it to compare with md5sum
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "PathName.h"
#include "ToolBox.h"
#include "ZYNSysKernelHandle.h"

namespace {

constexpr std::uint64_t kMB = 1 << 20;

// Pseudo-random bytes: nothing a file system or a cache could shortcut.
bool WriteData(const std::wstring& path, std::uint64_t megabytes) {
    ZYNSysKernelHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) return false;
    std::vector<std::uint64_t> chunk(4 * kMB / sizeof(std::uint64_t));
    std::uint64_t x = 0x9E3779B97F4A7C15ULL;
    for (std::uint64_t written = 0; written < megabytes * kMB; written += chunk.size() * sizeof chunk[0]) {
        for (std::uint64_t& word : chunk) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            word = x;
        }
        std::uint64_t left = megabytes * kMB - written;
        DWORD size = static_cast<DWORD>(std::min<std::uint64_t>(left, chunk.size() * sizeof chunk[0]));
        DWORD done = 0;
        if (!::WriteFile(file.Get(), chunk.data(), size, &done, nullptr) || done != size) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string argument = argc > 1 ? argv[1] : "512";
    const bool make = argument.find_first_not_of("0123456789") == std::string::npos;
    std::string path = argument;
    if (make) {
        path = ToolBox::GetExecutableFolder().GetText() + "\\hash_bench.bin";
        if (!WriteData(ToolBox::Utf8ToWide(path), std::stoull(argument))) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
    }
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(ToolBox::Utf8ToWide(path).c_str(), GetFileExInfoStandard, &data)) {
        std::fprintf(stderr, "no file %s\n", path.c_str());
        return 1;
    }
    const double megabytes =
        static_cast<double>((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) / kMB;

    std::string hex;
    auto start = std::chrono::steady_clock::now();
    int ok = ToolBox::File::ComputeHash(path, ToolBox::File::kMd5, hex);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (make) ::DeleteFileW(ToolBox::Utf8ToWide(path).c_str());
    if (!ok) {
        std::fprintf(stderr, "ComputeHash failed on %s\n", path.c_str());
        return 1;
    }
    std::printf("ComputeHash md5 %s: %.0f MB in %.3f s: %.1f MB/s\n", hex.c_str(), megabytes, seconds,
                megabytes / seconds);
    return 0;
}
