#pragma once
// One trace output: its declaration (the trace names bound to it, level window, flags) and its
// storage (standard stream, appended file, rotating file or memory ring). Every call is made
// under the trace manager's mutex; nothing here locks or throws.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "ZYNSysMappedView.h"
#include "ZYNSysWin.h"

#include <accctrl.h>

#include "ZYNSysStdioFile.h"
#include "ZYNSysTraceClient.h"

class ZYNSysRotatingFile;
class ZYNSysTraceManager;

// A fixed ring of bytes mapped onto a file: the newest text overwrites the oldest.
class ZYNSysTraceRing {
public:
    // Null when the file, the mapping or the view cannot be made.
    static std::unique_ptr<ZYNSysTraceRing> Create(const wchar_t* path, std::uint32_t size);
    virtual ~ZYNSysTraceRing();
    void Write(const char* text, std::size_t length);

private:
    ZYNSysTraceRing(std::uint32_t size, ZYNSysMappedView view);
    std::uint32_t size_;
    std::uint32_t left_;
    ZYNSysMappedView view_;
    std::uint32_t position_ = 0;
};

class ZYNSysTraceOutput {
public:
    static constexpr int kMaxNames = 64;
    static constexpr std::uint32_t kMaxRing = 8192;

    // The name must fit 63 bytes (the manager checks). A file output takes its per-process
    // folder from the manager, or makes one of its own without one.
    explicit ZYNSysTraceOutput(const char* name, ZYNSysTraceManager* manager = nullptr);
    virtual ~ZYNSysTraceOutput();
    ZYNSysTraceOutput(const ZYNSysTraceOutput&) = delete;
    ZYNSysTraceOutput& operator=(const ZYNSysTraceOutput&) = delete;

    virtual int Open();

    const char* Name() const { return name_; }
    // 0 when added or already present, -1 when the table is full or memory is short.
    int AddName(const char* traceName);
    // The stored copy of the name, or null.
    const char* FindName(const char* traceName) const;

    int OpenStorage(const wchar_t* path);
    int BindStdStream(std::FILE* stream);
    const char* BuildPrefix(const ZYNSysTraceMessage& message);
    int WriteLine(int severity, const char* message, const char* prefix, const char* terminator);
    int WriteMapped(const char* text);
    int Close();

    bool HasRing() const { return ring_ != nullptr; }
    const std::wstring& FileName() const { return fileName_; }

    // Declaration fields, set by the manager.
    std::int32_t lower_ = 0;
    std::int32_t upper_ = 1024;
    bool active_ = true;
    bool enabled_ = true;
    bool opened_ = false;
    std::int32_t clients_ = 0;
    bool localTime_ = false;
    std::uint32_t ringSize_ = 0;
    std::uint32_t rotateSize_ = 0;
    std::uint32_t rotateCount_ = 0;

private:
    ZYNSysTraceManager* manager_;
    char name_[64] = {};
    std::unique_ptr<char[]> names_[kMaxNames];
    std::unique_ptr<ZYNSysTraceRing> ring_;
    std::int64_t lastPrefixTime_ = 0;
    char prefix_[512] = {};
    char work_[512] = {};
    std::FILE* standard_ = nullptr;  // stdout or stderr: never closed here
    ZYNSysStdioFile file_;
    std::wstring fileName_;
    std::unique_ptr<ZYNSysRotatingFile> rotating_;
    std::wstring folder_;
};

// The trace directory ("...\ZYNSysTrace"), created when missing, into buffer (size in units).
// 0, or -1 when no candidate fits or the folder cannot be made or is a link.
int GetTraceDirectory(wchar_t* buffer, std::size_t size);
// True when the object's owner is the calling thread's user, the Administrators group or
// SYSTEM; false for anyone else or when the owner cannot be read.
bool IsOwnedByTrustedAccount(HANDLE object, SE_OBJECT_TYPE type);

// Makes a new per-process folder under the trace directory, named after the time (local or
// UTC) and the process id; -1 when it cannot be made or already exists.
int MakeTraceProcessFolder(bool localTime, std::wstring& folder);
