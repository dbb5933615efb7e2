#pragma once
// A folder of its own for one test, in the build tree, removed with everything in it.

#include <string>

// The folder of the running test program, whatever the length of its path.
std::wstring TestProgramFolder();

// <test program folder>\test-tmp\t<pid>-<n>. The name stays short so that a checkout deep in
// the file system keeps room for the paths the tests build below it.
class TestFolder {
public:
    TestFolder();
    // Never throws: what cannot be removed is reported on stderr and left behind.
    ~TestFolder();
    TestFolder(const TestFolder&) = delete;
    TestFolder& operator=(const TestFolder&) = delete;

    const std::wstring& Path() const { return path_; }
    std::wstring In(const std::wstring& name) const { return path_ + L"\\" + name; }
    // The same as UTF-8.
    const std::string& Utf8() const { return utf8_; }
    std::string Utf8In(const std::string& name) const { return utf8_ + "\\" + name; }

private:
    std::wstring path_;
    std::string utf8_;
};
