#pragma once
// Pieces shared by the path tests: files in a test folder, and commands on the Unix side
// when the tests run under Wine.

#include <functional>
#include <string>
#include <vector>

#include "ErrorStack.h"
#include "SharedWString.h"
#include "TestFolder.h"

bool UnderWine();

// The error records pushed on this thread since it was made, newest first. (The stack
// keeps a bounded number of records, so its count alone cannot tell.)
class ErrorWatch {
public:
    ErrorWatch() : head_(ErrorStack::GetRecord(0)) {}
    std::vector<const ErrorObject*> Added() const {
        std::vector<const ErrorObject*> added;
        for (const ErrorObject* r; (r = ErrorStack::GetRecord(static_cast<std::uint32_t>(added.size()))) && r != head_;)
            added.push_back(r);
        return added;
    }

private:
    const ErrorObject* head_;
};

// Keeps embedded NUL units.
SharedWString Wide(const std::wstring& text);
std::wstring Std(const SharedWString& text);
bool MakeFile(const std::wstring& path, const char* bytes = "x");
std::string ReadAll(const std::wstring& path);
bool MakeFolder(const std::wstring& path);
bool Exists(const std::wstring& path);
// Under Wine: runs "sh -c command" on the Unix side in the folder and waits until done()
// holds (Wine gives no handle to wait on). False when it did not come true in time.
bool RunUnixShell(const std::wstring& folder, const std::string& command, const std::function<bool()>& done);
