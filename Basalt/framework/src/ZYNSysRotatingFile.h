#pragma once
// A trace file that moves itself aside into numbered files (base.N.ext) when a line would
// take it past its size limit, keeping a fixed number of them.

#include <cstddef>
#include <cstdint>
#include <string>

#include "ZYNSysStdioFile.h"

class ZYNSysRotatingFile {
public:
    ZYNSysRotatingFile(const std::wstring& fileName, std::uint32_t sizeLimit, std::uint32_t fileCount);
    virtual ~ZYNSysRotatingFile();
    ZYNSysRotatingFile(const ZYNSysRotatingFile&) = delete;
    ZYNSysRotatingFile& operator=(const ZYNSysRotatingFile&) = delete;

    // 0, or -1 when the file cannot be opened.
    int Open();
    // The bytes written, or -1.
    int Write(const char* text, std::size_t length);
    // 0 when the current file went into a numbered file; -1 when it stays where it is.
    int Rotate();
    int Close();

    std::wstring NumberedName(std::uint32_t number) const;
    std::uint32_t NextNumber() const { return next_; }
    std::uint32_t CurrentNumber() const { return current_; }

private:
    int OpenFresh();
    // A free number takes no overwrite; the oldest file of a full set is replaced.
    bool MoveCurrentTo(const std::wstring& target, bool replace);

    ZYNSysStdioFile stream_;
    std::uint32_t sizeLimit_;
    std::wstring fileName_;
    std::wstring base_;
    std::wstring extension_;
    std::uint32_t next_ = 1;
    std::uint32_t current_ = 1;
    std::uint32_t fileCount_;
    int digits_ = 0;
};
