#pragma once
// A growable array of fixed-size raw elements with explicit capacity management. It
// never constructs, copies element by element or destroys what it holds.

#include <cstdint>

#include "ZYNSysWin.h"

class ZYNSysGrowArray {
public:
    ZYNSysGrowArray() = default;
    explicit ZYNSysGrowArray(std::uint32_t elementSize) { Init(elementSize); }
    ~ZYNSysGrowArray() { Free(); }
    ZYNSysGrowArray(const ZYNSysGrowArray&) = delete;
    ZYNSysGrowArray& operator=(const ZYNSysGrowArray&) = delete;

    void Init(std::uint32_t elementSize);
    void Free();
    HRESULT CheckIndex(std::int32_t index) const;
    // Opens n uninitialised elements before pos; later elements move up.
    HRESULT InsertAt(std::int32_t pos, std::int32_t n);
    // Moves n elements inside the block; the ranges may overlap.
    HRESULT MoveElements(std::int32_t destination, std::int32_t source, std::int32_t n);
    // Count 0; reserves when the capacity asked is larger.
    HRESULT Reset(std::int32_t capacity);
    HRESULT Reserve(std::int32_t capacity);

    std::int32_t GetCount() const { return count_; }
    void SetCount(std::int32_t count) { count_ = count; }
    std::int32_t GetCapacity() const { return capacity_; }
    std::uint32_t GetElementSize() const { return elementSize_; }
    void* GetData() const { return data_; }
    void Swap(ZYNSysGrowArray& other);
    // Address of element i, or null outside the capacity.
    void* At(std::int32_t index) const;

private:
    unsigned char* data_ = nullptr;
    std::int32_t count_ = 0;
    std::int32_t capacity_ = 0;
    std::uint32_t elementSize_ = 0;
};
