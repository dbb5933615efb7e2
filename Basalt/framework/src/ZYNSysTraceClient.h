#pragma once
// Trace clients: code writes diagnostic lines through a client bound to a trace name; the
// process-wide manager decides which names are declared and where their lines go. A name
// that nothing declares gives no client, so a caller's whole cost is one test of its slot.
//
// Usual pattern:
//     static ZYNSysTraceClient* s_trace = nullptr;
//     ZYNSysTraceClient::Create(&s_trace, "ZYNSysPath");
//     if (s_trace) ZYNSysTraceClient::InfoPrintf(s_trace, "%s : Path is %ls", what, path);
//
// Nothing here throws.

#include <cstdarg>
#include <cstdint>

class ZYNSysTraceOutput;

// What a client hands to its output with each line.
struct ZYNSysTraceMessage {
    std::uint32_t mask = 0;      // prefix pieces: 1 time, 2 trace name, 16 thread id
    std::int32_t severity = 0;   // 1 information, 3 warning, 4 error
    std::int32_t level = 0;
    std::int32_t line = 0;
    const char* traceName = nullptr;
    const char* terminator = nullptr;
    const char* sourceFile = nullptr;
};

class ZYNSysTraceClient {
public:
    ZYNSysTraceClient() noexcept;
    virtual ~ZYNSysTraceClient();
    ZYNSysTraceClient(const ZYNSysTraceClient&) = delete;
    ZYNSysTraceClient& operator=(const ZYNSysTraceClient&) = delete;

    // Binds to the name ("COMMON" when null or empty), setting the manager up first.
    void Construct(const char* traceName) noexcept;

    // When the slot is empty, makes a client for the name and installs it unless the name is
    // not declared; a thread that loses the race keeps the winner's client.
    static void Create(ZYNSysTraceClient** slot, const char* traceName) noexcept;
    // Empties the slot; the client itself lives on until the process exits, since another
    // thread may be writing through it.
    static void Destroy(ZYNSysTraceClient** slot) noexcept;

    // 0 when written, -1 otherwise (inactive client, null format, nothing to write).
    static int InfoPrintf(ZYNSysTraceClient* client, const char* format, ...) noexcept
        __attribute__((format(printf, 2, 3)));
    static int WarningPrintf(ZYNSysTraceClient* client, const char* format, ...) noexcept
        __attribute__((format(printf, 2, 3)));
    static int ErrorPrintf(ZYNSysTraceClient* client, const char* sourceFile, int line,
                           const char* format, ...) noexcept __attribute__((format(printf, 4, 5)));

    bool IsActive() const noexcept { return active_ != 0 && enabled_ != 0; }
    const char* TraceName() const noexcept { return traceName_; }
    ZYNSysTraceOutput* Output() const noexcept { return output_; }

protected:
    int Emit(int severity, const char* sourceFile, int line, const char* format,
             va_list arguments) noexcept;

    std::uint8_t active_ = 0;
    std::uint8_t enabled_ = 0;
    const char* traceName_ = nullptr;
    ZYNSysTraceOutput* output_ = nullptr;
    ZYNSysTraceMessage message_;
};
