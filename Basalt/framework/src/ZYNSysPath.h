#pragma once
// The framework's file-system path value. A path is set from a framework string, UTF-8 or
// UTF-16 text; its kind is recognised (drive, UNC, relative, web address or a logical path
// that another module resolves), it is validated and kept in the long-path form ("\\?\",
// "\\?\UNC\"). Every operation answers an HRESULT: 0, E_FAIL for an invalid or unset path,
// E_INVALIDARG, E_POINTER for a handle without implementation, or a Win32 error as 0x8007xxxx.
// Nothing here throws. A path and its iterators belong to one thread at a time.

#include <cstdint>

#include "QORInterUnicodeString.h"
#include "ZYNSysWin.h"

class ZYNSysPathImpl;
class ZYNSysDirIterator;

// What ZYNSysPath::Stat fills: times are seconds since 1970 (FileTimeToTime).
struct ZYNSysStat {
    std::uint16_t mode = 0;  // 0x100 read-only, else 0x1C0; plus 0x4000 directory or 0x8000 file
    std::int64_t size = 0;
    std::int64_t lastAccess = 0;
    std::int64_t lastWrite = 0;
    std::int64_t creation = 0;
};

// Path flags.
enum : std::uint32_t {
    kZYNSysPathInvalid = 1,
    kZYNSysPathAbsolute = 2,
    kZYNSysPathRelative = 4,
    kZYNSysPathDrive = 8,
    kZYNSysPathUNC = 16,
    kZYNSysPathHttp = 32,
    kZYNSysPathHttps = 64,
    kZYNSysPathLogical = 128,
    kZYNSysPathCanonical = 256,
};

class ZYNSysPath {
public:
    ZYNSysPath();
    // Copies are deep, as Assign.
    ZYNSysPath(const ZYNSysPath& other);
    ZYNSysPath& operator=(const ZYNSysPath& other);
    virtual ~ZYNSysPath();

    HRESULT SetString(const QORInterUnicodeString& text);
    HRESULT BuildFromUTF8(const char* text);
    HRESULT SetWide(const wchar_t* text);
    HRESULT ToString(QORInterUnicodeString& out);
    HRESULT GetString(QORInterUnicodeString& out) { return ToString(out); }

    HRESULT Append(const QORInterUnicodeString& component);
    HRESULT AppendUTF8(const char* component);
    HRESULT AppendWide(const wchar_t* component);

    // A negative value already in *result skips the work.
    void GetParent(ZYNSysPath& out, HRESULT* result = nullptr) const;
    void GetLeaf(ZYNSysPath& out, HRESULT* result = nullptr) const;

    bool IsDirectory(bool refresh = false);
    bool IsFile(bool refresh = false);
    HRESULT Stat(ZYNSysStat* out, bool refresh = false);
    HRESULT GetTimes(std::int64_t* lastWrite, std::int64_t* lastAccess);

    HRESULT Remove(bool recursive);
    HRESULT RemoveTree(bool recursive);
    // A member named DeleteFile becomes DeleteFileW through <windows.h>, in every file alike.
    HRESULT DeleteFile();

    bool GetRealPath(QORInterUnicodeString& out);
    HRESULT SetToTempDirectory();

    // An iterator on this directory (no pattern, default flags) on its first entry.
    void ListDirectory(ZYNSysDirIterator& out, HRESULT* result = nullptr) const;
    void EndIterator(ZYNSysDirIterator& out) const;

    void Assign(const ZYNSysPath& other);
    void Swap(ZYNSysPath& other);

    HRESULT Canonicalize();

    // The buffer's text as it stands (null without one), its flags and its lengths.
    const wchar_t* Text() const;
    std::uint32_t Flags() const;
    std::uint16_t Length() const;
    std::uint16_t PrefixLength() const;
    bool IsValid() const { return (Flags() & kZYNSysPathInvalid) == 0; }

    ZYNSysPathImpl* Impl() const { return impl_; }

private:
    ZYNSysPathImpl* impl_;
};

class ZYNSysDirIteratorImpl;

// Iterates the entries of one directory, "." and ".." left out.
class ZYNSysDirIterator {
public:
    ZYNSysDirIterator();
    ~ZYNSysDirIterator();
    ZYNSysDirIterator(const ZYNSysDirIterator&) = delete;
    ZYNSysDirIterator& operator=(const ZYNSysDirIterator&) = delete;

    // 0 on the first entry, 1 for a directory with no entry (or none that matches), else a
    // failure. Listing flags 1 with a pattern match it case-sensitively.
    HRESULT Begin(const ZYNSysPath& directory, const wchar_t* pattern = nullptr, std::uint16_t flags = 0);
    // 0 on the next entry, 1 at the end, else a failure.
    HRESULT Next();
    HRESULT GetCurrent(ZYNSysPath& out) const;
    // The current entry's name.
    const wchar_t* CurrentName() const;
    bool Equals(const ZYNSysDirIterator& other) const;
    // -1 not started or failed, 0 on an entry, 1 at the end.
    int State() const;
    std::uint32_t Count() const;

private:
    friend class ZYNSysPath;
    ZYNSysDirIteratorImpl* impl_;
};

// Algorithms of the path kinds: 5 logical, 2 http, 10 https, 4 drive, 18 UNC, 9 "QORDLN://",
// 16 other address, 6 relative, -1 with E_FAIL. Null arguments give 0x80070006.
HRESULT ClassifyPathKind(const wchar_t* text, int* kind, int length = 0);
// Sets the path; web paths answer E_NOTIMPL; an invalid text of kind 5 or 9 is resolved as a
// logical path.
HRESULT ResolvePathKindAndRealPath(const QORInterUnicodeString& text, ZYNSysPath& path);
// Seconds since 1970; "QORDSTSETTING" adds its seconds while daylight saving is in effect.
HRESULT FileTimeToTime(const FILETIME& time, std::int64_t* seconds);
// The code masked to 16 bits under (facility | 0xFFFF8000) << 16; 0 stays a failure.
HRESULT Win32ErrorToHResult(DWORD code, DWORD facility = 7);

// Where attributes of local paths come from: GetFileAttributesExW unless a test installs
// another. Answers TRUE, or FALSE with the Win32 error in *error.
class ZYNSysFileAttributeQuery {
public:
    virtual ~ZYNSysFileAttributeQuery() = default;
    virtual BOOL Query(const wchar_t* path, WIN32_FILE_ATTRIBUTE_DATA* data, DWORD* error) = 0;
};
void ZYNSysSetFileAttributeQuery(ZYNSysFileAttributeQuery* query);  // null restores the default
