#pragma once
// A per-thread trail of error records: base functions push records instead of throwing.

#include <cstdint>
#include <memory>

#include "SharedWString.h"

class WStringList;

class ErrorObject {
public:
    ErrorObject(SharedWString message, std::uint32_t severity, std::uint32_t hresult, std::uint32_t win32Code)
        : message(std::move(message)), severity(severity), hresult(hresult), win32Code(win32Code) {}
    virtual ~ErrorObject() = default;

    SharedWString message;
    std::uint32_t severity;
    std::uint32_t hresult;
    std::uint32_t win32Code;
};

class ErrorStack {
public:
    // A thread keeps its newest records only: older ones are dropped past this many.
    static constexpr std::uint32_t kMaxRecords = 32;

    // Pushes onto the calling thread's stack; false (the record deleted) when memory is short.
    static bool Push(std::unique_ptr<ErrorObject> record);

    // The calling thread's view, for diagnostics and tests.
    static std::uint32_t GetCount();
    // 0 is the most recent record; null past the oldest.
    static const ErrorObject* GetRecord(std::uint32_t index);
};

void RaiseError(const SharedWString& message, std::uint32_t severity, std::uint32_t hresult, std::uint32_t win32Code);
void RaiseCatalogError(const SharedWString& catalog, const SharedWString& messageId, const WStringList* parameters,
                       std::uint32_t severity, std::uint32_t hresult, std::uint32_t win32Code);
// catalog "." id "(" parameters joined by ", " ")".
SharedWString FormatCatalogMessage(const SharedWString& catalog, const SharedWString& messageId,
                                   const WStringList* parameters);
// Nothing when the last error is 0; else the message, "\nError num: <code>" and the
// system's text for the code.
void RaiseLastWin32Error(const SharedWString& message, std::uint32_t severity, std::uint32_t hresult);
