#pragma once
// The process-wide table of trace outputs: which trace names are declared, on which output,
// read once from "ZYNSysTrace" or from option files. Nothing here throws.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "QORMutex.h"

class ZYNSysTraceOutput;
class ZYNSysTraceClient;

class ZYNSysTraceManager {
public:
    static constexpr int kSlots = 16;

    // Holds the manager's mutex for a scope.
    class Hold : public QORMutexHold {
    public:
        explicit Hold(ZYNSysTraceManager& manager) : QORMutexHold(manager.mutex_) {}
    };

    // Made on first use and kept to the process's end, when its outputs are closed. Null only
    // when memory ran out.
    static ZYNSysTraceManager* Instance();

    ZYNSysTraceManager();
    ~ZYNSysTraceManager();
    ZYNSysTraceManager(const ZYNSysTraceManager&) = delete;
    ZYNSysTraceManager& operator=(const ZYNSysTraceManager&) = delete;

    // Reads the environment and option files once; later calls, including one made while the
    // first is still reading, find the table and return.
    void Init();
    int Declare(const char* output, const char* traceName);
    int SetOption(const char* output, int number, long value);
    int ParseOptionElement(const char* element);
    int ParseShortElement(const char* element);
    int ScanOptionFiles(const char* folder);
    int ReadOptionFile(const wchar_t* path);
    int OpenOutputs();
    // The output declaring the name exactly (searched from the last slot down), and the
    // stored copy of the name.
    ZYNSysTraceOutput* Find(const char* traceName, const char** storedName);
    // The per-process folder of the file outputs, made on the first call only; -1 when it
    // could not be made then.
    int ProcessFolder(bool localTime, std::wstring& folder);
    // Keeps a client taken out of its slot until the process ends.
    void Retire(ZYNSysTraceClient* client);
    // Closes file, rotating and ring storage; retired clients stay valid to the process's end.
    void Shutdown();

    char* FormatBuffer() { return format_; }

private:
    ZYNSysTraceOutput* FindOutput(const char* output);

    std::unique_ptr<ZYNSysTraceOutput> slots_[kSlots];
    int slotCount_ = 0;
    bool initialised_ = false;
    QORMutex mutex_;
    char format_[4096] = {};
    char pathBuffer_[4096] = {};
    bool processFolderTried_ = false;
    std::wstring processFolder_;
    struct Retired;
    Retired* retired_ = nullptr;
};
