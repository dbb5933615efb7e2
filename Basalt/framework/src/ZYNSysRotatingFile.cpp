#include "ZYNSysRotatingFile.h"

#include <algorithm>
#include <cwchar>

#include "ZYNSysWin.h"

namespace {

bool Exists(const std::wstring& name) {
    return ::GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool CanBeRead(const std::wstring& name) {
    ZYNSysStdioFile file(::_wfopen(name.c_str(), L"rbN"));
    return file.IsValid();
}

// Closes the stream; a file left empty is not worth keeping.
void CloseAndDropIfEmpty(ZYNSysStdioFile& stream, const std::wstring& name) {
    if (!stream.IsValid()) return;
    const long position = std::ftell(stream.Get());
    stream.Reset();
    if (position == 0) ::DeleteFileW(name.c_str());
}

}  // namespace

ZYNSysRotatingFile::ZYNSysRotatingFile(const std::wstring& fileName, std::uint32_t sizeLimit,
                                       std::uint32_t fileCount)
    : sizeLimit_(sizeLimit == 0 ? 1024 : sizeLimit),
      fileName_(fileName),
      fileCount_(fileCount == 0 ? 1 : fileCount) {
    // The extension starts at the first dot of the leaf: a dot in a folder name is no extension.
    const std::size_t leaf = fileName_.find_last_of(L"\\/");
    const std::size_t dot = fileName_.find(L'.', leaf == std::wstring::npos ? 0 : leaf + 1);
    base_ = fileName_.substr(0, dot);
    if (dot != std::wstring::npos) extension_ = fileName_.substr(dot);
    for (std::uint64_t power = 1; power < fileCount_; power *= 10) ++digits_;

    FILETIME oldest{};
    bool found = false;
    for (std::uint32_t n = 1; n <= fileCount_; ++n) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!::GetFileAttributesExW(NumberedName(n).c_str(), GetFileExInfoStandard, &data)) continue;
        if (!found || ::CompareFileTime(&data.ftLastWriteTime, &oldest) < 0) {
            oldest = data.ftLastWriteTime;
            next_ = current_ = n;
            found = true;
        }
    }
}

ZYNSysRotatingFile::~ZYNSysRotatingFile() { Close(); }

std::wstring ZYNSysRotatingFile::NumberedName(std::uint32_t number) const {
    wchar_t digits[16];
    std::swprintf(digits, 16, L"%0*u", digits_, number);
    return base_ + L"." + digits + extension_;
}

int ZYNSysRotatingFile::Open() {
    if (stream_.IsValid()) {
        if (std::ftell(stream_.Get()) <= static_cast<long>(sizeLimit_)) return 0;
        stream_.Reset();
        // OpenFresh rotates: a second rotation here would copy a file that could not be moved
        // into two numbered files.
        return OpenFresh();
    }
    stream_.Reset(::_wfopen(fileName_.c_str(), L"a+N"));
    if (!stream_.IsValid()) return -1;
    // msvcrt reports position 0 for a file opened to append until something moves it.
    std::fseek(stream_.Get(), 0, SEEK_END);
    return 0;
}

int ZYNSysRotatingFile::OpenFresh() {
    // Without a numbered file to take the old lines, they are kept and appended to.
    if (Exists(fileName_) && Rotate() != 0) {
        stream_.Reset(::_wfopen(fileName_.c_str(), L"a+N"));
        if (stream_.IsValid()) std::fseek(stream_.Get(), 0, SEEK_END);
    } else {
        stream_.Reset(::_wfopen(fileName_.c_str(), L"w+N"));
    }
    return stream_.IsValid() ? 0 : -1;
}

int ZYNSysRotatingFile::Write(const char* text, std::size_t length) {
    if (text == nullptr) return -1;
    if (stream_.IsValid()) {
        const long position = std::ftell(stream_.Get());
        // Text mode writes each LF as CR LF: the limit counts what reaches the disk.
        const std::size_t onDisk = length + static_cast<std::size_t>(std::count(text, text + length, '\n'));
        if (position >= 0 && onDisk <= sizeLimit_ - std::min<std::uint64_t>(position, sizeLimit_)) {
            const std::size_t written = std::fwrite(text, 1, length, stream_.Get());
            std::fflush(stream_.Get());
            return static_cast<int>(written);
        }
    }
    CloseAndDropIfEmpty(stream_, fileName_);
    if (OpenFresh() != 0) return -1;
    const std::size_t written = std::fwrite(text, 1, length, stream_.Get());
    std::fflush(stream_.Get());
    return static_cast<int>(written);
}

bool ZYNSysRotatingFile::MoveCurrentTo(const std::wstring& target, bool replace) {
    if (replace) {
        return ::MoveFileExW(fileName_.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) ||
               ::CopyFileW(fileName_.c_str(), target.c_str(), FALSE);
    }
    return ::MoveFileW(fileName_.c_str(), target.c_str()) ||
           ::CopyFileW(fileName_.c_str(), target.c_str(), TRUE);
}

int ZYNSysRotatingFile::Rotate() {
    for (std::uint32_t n = next_; n <= fileCount_; ++n) {
        const std::wstring target = NumberedName(n);
        if (CanBeRead(target)) continue;
        if (!MoveCurrentTo(target, false)) return -1;
        next_ = n + 1;
        return 0;
    }
    // Replaced in one step, never deleted first: when neither the move nor the copy can
    // replace it, the oldest file stays as it was.
    const std::wstring target = NumberedName(current_);
    if (!MoveCurrentTo(target, true)) return -1;
    if (++current_ > fileCount_) {
        current_ = 1;
        next_ = 2;
    } else {
        next_ = current_ == fileCount_ ? 1 : current_;
    }
    return 0;
}

int ZYNSysRotatingFile::Close() {
    CloseAndDropIfEmpty(stream_, fileName_);
    return 0;
}
