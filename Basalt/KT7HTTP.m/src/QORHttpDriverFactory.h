#pragma once
// Where the facade gets its drivers: the WinINet transport, the raw-socket transport, and the
// optional external builder that makes a driver from the current one. The default makes the
// real ones; a test installs a factory that makes recording drivers.

#include <cstdint>
#include <memory>

class QORHttpDriver;

// The external builder's form: a new heap driver made from the current one, or null.
using QORHttpBuildDriverWithCopy = QORHttpDriver* (*)(QORHttpDriver* current);

class QORHttpDriverFactory {
public:
    virtual ~QORHttpDriverFactory() = default;
    // Null when the driver cannot be made.
    virtual std::unique_ptr<QORHttpDriver> MakeWinINetDriver(const char* userAgent, std::uint16_t httpMajor,
                                                             std::uint16_t httpMinor) = 0;
    virtual std::unique_ptr<QORHttpDriver> MakeRawSocketDriver(const char* userAgent, std::uint16_t httpMajor,
                                                               std::uint16_t httpMinor) = 0;
    // Null when no external builder is present.
    virtual QORHttpBuildDriverWithCopy FindBuilderWithCopy() = 0;
};

// The installed factory (the default unless a test installed another).
QORHttpDriverFactory& QORHttpGetDriverFactory() noexcept;
// Null restores the default. The factory must outlive every facade that uses it.
void QORHttpSetDriverFactory(QORHttpDriverFactory* factory) noexcept;
