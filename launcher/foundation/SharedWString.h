#pragma once
// The launcher's reference-counted, copy-on-write UTF-16 string: one pointer to a
// counted block, cheap to pass by value. Empty strings share one static block.

#include <atomic>
#include <cstdint>
#include <string>

#include "ZYNSysWin.h"

class WStringList;

class SharedWString {
public:
    SharedWString();
    SharedWString(const wchar_t* text);  // NOLINT: converting on purpose, like the platform's strings
    SharedWString(const SharedWString& other);
    SharedWString(SharedWString&& other) noexcept;
    SharedWString& operator=(const SharedWString& other);
    SharedWString& operator=(SharedWString&& other) noexcept;
    SharedWString& operator=(const wchar_t* text);
    ~SharedWString();

    // A block of exactly count units when this one is shared or too small.
    void Assign(const wchar_t* units, std::int32_t count);
    void Empty();

    const wchar_t* c_str() const { return Units(block_); }
    std::int32_t GetLength() const { return block_->length; }
    bool IsEmpty() const { return block_->length == 0; }
    // 0 outside the text.
    wchar_t GetAt(std::int32_t index) const;
    bool operator==(const SharedWString& other) const;
    bool operator!=(const SharedWString& other) const { return !(*this == other); }

    // First occurrence at or after start; -1 when absent, the needle is empty or start is
    // outside the text.
    std::int32_t Find(const SharedWString& needle, std::int32_t start) const;
    // Units [from, to); empty for a range that does not fit.
    SharedWString Mid(std::int32_t from, std::int32_t to) const;
    // The pieces between separators, empty ones included.
    void Split(const SharedWString& separator, WStringList& out) const;

    void Append(const SharedWString& b);
    void Append2(const SharedWString& b, const SharedWString& c);
    void Append3(const SharedWString& b, const SharedWString& c, const SharedWString& d);
    static SharedWString Concat(const SharedWString& a, const SharedWString& b);
    int Delete(std::int32_t position, std::int32_t count);
    std::int32_t Replace(wchar_t from, wchar_t to);

    // Unshared and at least n units (n < 0: the current capacity); write, then ReleaseBuffer.
    wchar_t* GetBuffer(std::int32_t n);
    // The length becomes the units before the first zero unit, at most n (-1: no limit).
    void ReleaseBuffer(std::int32_t n = -1);
    // False, with the string unchanged, when the block cannot be had.
    bool Reserve(std::int32_t n, bool keepContent, bool growGeometric);

    // One 32-bit value through a narrow printf format with a single integer conversion;
    // E_FAIL, string unchanged, for any other format or an output over 1024 bytes.
    HRESULT Format(std::int32_t value, const char* format);

    // Strict UTF-8 decoding: 0, or a non-zero code with an empty out string.
    static int FromUtf8(const char* bytes, std::int32_t length, SharedWString& out);
    static int FromUtf8(const char* text, SharedWString& out);
    // Encodes into buffer; size holds its size on entry and the bytes written (without
    // the terminating zero) on return.
    static int ToUtf8(const SharedWString& text, char* buffer, std::int32_t& size);

    // For tests: how many strings share this block (the empty block answers 0xFFFFFFFF).
    std::uint32_t GetRefCount() const { return block_->refCount.load(); }
    std::int32_t GetCapacity() const { return static_cast<std::int32_t>(block_->capacityAndFlags & kCapacityMask); }
    bool SharesBlockWith(const SharedWString& other) const { return block_ == other.block_; }

private:
    struct Block {
        std::atomic<std::uint32_t> refCount;
        std::int32_t length;
        std::uint32_t capacityAndFlags;
        std::uint32_t reserved;
    };
    static constexpr std::uint32_t kCapacityMask = 0x3FFFFFFF;
    static constexpr std::uint32_t kTerminated = 0x40000000;

    static wchar_t* Units(Block* block) { return reinterpret_cast<wchar_t*>(block + 1); }
    static Block* EmptyBlock();
    static Block* NewBlock(std::int32_t capacity);
    static void Release(Block* block);
    static void AddRef(Block* block);
    bool IsShared() const;
    void SetLength(std::int32_t length);
    void AppendUnits(const wchar_t* const* parts, const std::int32_t* lengths, int count);

    Block* block_;
};

// Code-page conversions through the platform (code page 65001, flags 0).
std::string Utf16ToUtf8(const wchar_t* text);
std::wstring Utf8ToUtf16(const char* text);
