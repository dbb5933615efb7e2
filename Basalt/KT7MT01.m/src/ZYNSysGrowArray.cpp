#include "ZYNSysGrowArray.h"

#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace {

constexpr std::int32_t kMaxCount = std::numeric_limits<std::int32_t>::max();

// Bytes for n elements, or false when that does not fit in a size_t.
bool Bytes(std::int32_t n, std::uint32_t elementSize, std::size_t& bytes) {
    if (n < 0) return false;
    std::size_t count = static_cast<std::size_t>(n);
    if (elementSize != 0 && count > std::numeric_limits<std::size_t>::max() / elementSize) return false;
    bytes = count * elementSize;
    return true;
}

}  // namespace

void ZYNSysGrowArray::Init(std::uint32_t elementSize) {
    Free();
    elementSize_ = elementSize;
}

void ZYNSysGrowArray::Free() {
    delete[] data_;
    data_ = nullptr;
    count_ = 0;
    capacity_ = 0;
}

HRESULT ZYNSysGrowArray::CheckIndex(std::int32_t index) const {
    return index >= 0 && index < count_ ? S_OK : E_FAIL;
}

void* ZYNSysGrowArray::At(std::int32_t index) const {
    if (!data_ || index < 0 || index >= capacity_) return nullptr;
    return data_ + static_cast<std::size_t>(index) * elementSize_;
}

HRESULT ZYNSysGrowArray::InsertAt(std::int32_t pos, std::int32_t n) {
    if (pos < 0 || pos > count_ || n < 0 || n > kMaxCount - count_) return E_FAIL;
    std::int32_t needed = count_ + n;
    if (needed > capacity_) {
        std::int32_t grown;
        if (capacity_ == 0) {
            grown = needed < 4 ? 4 : needed;
        } else {
            grown = capacity_ > kMaxCount / 2 ? kMaxCount : capacity_ * 2;
            if (grown < needed) grown = needed;
        }
        if (FAILED(Reserve(grown))) return E_FAIL;
    }
    if (n > 0 && pos < count_ && FAILED(MoveElements(pos + n, pos, count_ - pos))) return E_FAIL;
    count_ = needed;
    return S_OK;
}

HRESULT ZYNSysGrowArray::MoveElements(std::int32_t destination, std::int32_t source, std::int32_t n) {
    if (!data_ || destination < 0 || source < 0 || n < 0) return E_FAIL;
    if (n > capacity_ - destination || n > capacity_ - source) return E_FAIL;
    std::size_t bytes = 0;
    Bytes(n, elementSize_, bytes);
    std::memmove(data_ + static_cast<std::size_t>(destination) * elementSize_,
                 data_ + static_cast<std::size_t>(source) * elementSize_, bytes);
    return S_OK;
}

HRESULT ZYNSysGrowArray::Reset(std::int32_t capacity) {
    count_ = 0;
    return capacity > capacity_ ? Reserve(capacity) : S_OK;
}

HRESULT ZYNSysGrowArray::Reserve(std::int32_t capacity) {
    if (capacity < count_) return E_FAIL;
    if (capacity == capacity_) return S_OK;
    unsigned char* block = nullptr;
    if (capacity >= 1) {
        std::size_t bytes = 0;
        if (!Bytes(capacity, elementSize_, bytes)) return E_FAIL;
        block = new (std::nothrow) unsigned char[bytes == 0 ? 1 : bytes];
        if (!block) return E_FAIL;
        std::size_t used = 0;
        Bytes(count_, elementSize_, used);
        if (used) std::memcpy(block, data_, used);
    }
    delete[] data_;
    data_ = block;
    capacity_ = capacity < 1 ? 0 : capacity;
    return S_OK;
}

void ZYNSysGrowArray::Swap(ZYNSysGrowArray& other) {
    std::swap(data_, other.data_);
    std::swap(count_, other.count_);
    std::swap(capacity_, other.capacity_);
    std::swap(elementSize_, other.elementSize_);
}
