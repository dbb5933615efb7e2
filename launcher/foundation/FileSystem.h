#pragma once
// Classifying, deleting, moving and testing files and folders, and the process
// environment. Failures come back as Win32 error codes; nothing throws.

#include <cstdint>

#include "SharedWString.h"
#include "ZYNSysWin.h"

// Path type codes of GetPathType.
constexpr std::int32_t kPathAbsent = 0;
constexpr std::int32_t kPathDirectory = 1;
constexpr std::int32_t kPathFile = 2;
constexpr std::int32_t kPathDirectoryLink = 5;
constexpr std::int32_t kPathFileLink = 6;

std::int32_t GetPathType(const SharedWString& path);
// Deletes by type: a directory with its contents (stopping at the first failure), a
// link without its target. 1 for an absent path; 5 for a drive or share root; 206 for
// folders nested more than 512 levels below the one deleted.
DWORD DeletePathTree(const SharedWString& path, std::int32_t type);
// 2 for an empty path, else DeletePathTree with the path's own type.
DWORD DeletePathIfExists(const SharedWString& path);
bool PathAccessible(const SharedWString& path);
// Never replaces an existing destination.
DWORD MovePath(const SharedWString& source, const SharedWString& destination);
SharedWString GetEnvW(const SharedWString& name);
// An empty value removes the variable.
void SetEnvW(const SharedWString& name, const SharedWString& value);
