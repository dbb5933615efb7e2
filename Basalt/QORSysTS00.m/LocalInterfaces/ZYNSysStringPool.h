#pragma once
// The per-thread recycle pool of the string core: 12 classes of free blocks of 8, 16, ..., 96
// bytes, at most 256 blocks a class. A block released on a thread goes to that thread's pool.

#include <cstddef>
#include <cstdint>

namespace ZYNSysStringPool {

constexpr int kClasses = 12;
constexpr int kLimit = 256;
constexpr std::size_t kLargestBlock = 96;

// A block of exactly `size` bytes (a multiple of 8): from the calling thread's pool when it is
// enabled and holds one, else from the heap; null when the heap has none.
void* Allocate(std::size_t size);
// Gives back a block of `size` bytes: to the calling thread's pool when it is enabled, the block
// is at most 96 bytes and its class holds fewer than 256, else to the heap.
void Free(void* block, std::size_t size);

// The process-wide switch, read once: enabled unless "ReplayPurify" is set; a set
// "ZYNStringRecyclePoolForceEnable" decides alone (non-zero enabled).
bool IsEnabledForProcess();
// Blocks the calling thread's pool holds in a class; -1 when the thread has no pool.
int HeldInClass(int index);
// Pools of threads that have not ended; a thread's end frees its pool and every block it holds.
long LivePoolCount();
// Blocks taken from the heap by the process so far.
std::uint64_t HeapBlockCount();

}  // namespace ZYNSysStringPool
