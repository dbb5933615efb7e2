#pragma once
// The framework's string value. Text is held in the process's code page or in UTF-16; the other
// form is made on demand, once, and kept beside the text. Representations are reference-counted
// and shared by copies; a change copies a shared one first. A handle is used by one thread at a
// time; representations are shared freely between threads.

#include <cstddef>
#include <cstdint>

class QORInterUnicodeString {
public:
    QORInterUnicodeString();
    QORInterUnicodeString(const char* text);
    QORInterUnicodeString(const QORInterUnicodeString& other);
    ~QORInterUnicodeString();
    QORInterUnicodeString& operator=(const QORInterUnicodeString& other);
    QORInterUnicodeString& operator=(const char* text);
    QORInterUnicodeString& operator+=(const QORInterUnicodeString& other);
    bool operator==(const QORInterUnicodeString& other) const { return Equals(other); }
    bool operator!=(const QORInterUnicodeString& other) const { return NotEquals(other); }
    bool operator==(const char* text) const { return EqualsChars(text); }
    bool operator!=(const char* text) const { return NotEqualsChars(text); }

    // Drops this handle's reference; the handle becomes the null string.
    void Release();
    void Assign(const QORInterUnicodeString& other);
    void AssignChars(const char* text);
    // 1, or -1 when the handle is null or the result is empty (or longer than a string can be).
    int BuildFromWideN(const wchar_t* units, std::int64_t count);
    int BuildFromWide(const wchar_t* text);
    // Always 0. Stored as code-page text when the current code page is UTF-8, else as UTF-16.
    int BuildFromUTF8(const char* bytes, std::size_t count);

    const char* CastToCharStar() const;
    const wchar_t* CastToWCharStar() const;
    // With a buffer: writes at most *size bytes, no terminator, and sets *size to the bytes
    // written. Without: *size becomes the byte count, rounded to a multiple of 8 minus 1.
    void ConvertToUTF8(char* buffer, std::size_t* size) const;
    // With a buffer: the UTF-16 form and a terminator, answering the units. Without: the units to
    // reserve, (length + 4) rounded down to a multiple of 4.
    std::int64_t CopyToWide(wchar_t* buffer) const;

    int GetCharLength() const;
    int GetLengthInChar() const;
    // 0 null handle, 1 code-page text, 2 UTF-16 text.
    int GetStorageKind() const;
    bool IsEmpty() const;

    void Append(const QORInterUnicodeString& other);
    bool Equals(const QORInterUnicodeString& other) const;
    bool NotEquals(const QORInterUnicodeString& other) const { return !Equals(other); }
    bool EqualsChars(const char* text) const;
    bool NotEqualsChars(const char* text) const { return !EqualsChars(text); }
    // Shorter sorts first whatever the characters; equal lengths compare their memory.
    static int Compare(const QORInterUnicodeString& first, const QORInterUnicodeString& second);
    int Search(const QORInterUnicodeString& part, int start) const;
    void Replace(const QORInterUnicodeString& from, const QORInterUnicodeString& to);
    QORInterUnicodeString Extract(int start, int count) const;

private:
    friend struct QORInterUnicodeStringProbe;
    void* m_data;
};

// Read-only views for tests of sharing and caching.
struct QORInterUnicodeStringProbe {
    static const void* Representation(const QORInterUnicodeString& s) { return s.m_data; }
    // 0 for a null handle; the shared empty representation answers 1.
    static int RefCount(const QORInterUnicodeString& s);
    static const void* CachedForm(const QORInterUnicodeString& s);
    static std::size_t BlockSize(const QORInterUnicodeString& s);
};

// 0 done, -1 refused (a null buffer, an empty string, a buffer too small).
int StringToUtf8Buffer(char* buffer, std::size_t bufferSize, const QORInterUnicodeString& s);
// A terminated UTF-8 copy to free with std::free; null for an empty string.
char* StringToUtf8Alloc(const QORInterUnicodeString& s);
// 0 done; -1 for null arguments, a buffer of fewer units than the bytes + 1, or invalid UTF-8.
int Utf8ToWideBuffer(wchar_t* buffer, std::size_t units, const char* utf8);
// 0 done; -1 for null arguments or a destination not terminated within its size.
int StrCatBounded(char* dest, std::size_t size, const char* source);
void ZYNSysGetStringData(const wchar_t** chars, int* length, const QORInterUnicodeString& s);
