#pragma once
// Removal of a folder with everything in it, walked by handle rather than by path: each folder
// is opened as itself, checked and listed through its handle, and each entry is opened beside
// it, relative to that handle, and deleted through its own handle. Whoever can write in the
// tree cannot send the walk elsewhere by swapping an entry for a link while it runs.
// The entries are opened through NtCreateFile of the table ZYNSysGetNtDirectoryApi answers.

#include "ZYNSysWin.h"

// Folders nested deeper than this below the one removed are refused: each level holds an open
// folder and its listing buffer.
constexpr int kZYNSysMostTreeLevels = 512;

// Removes the folder at path with its files and, when recursive, its subfolders; without
// recursion they stay, and the folder's own removal fails. A link is removed itself, never
// entered, and so is a folder that is no longer the one its parent listed. Answers 0 or the
// Win32 code of the first failure, which stops the walk and leaves what it had not reached:
// ERROR_DIRECTORY when path names no folder, ERROR_FILENAME_EXCED_RANGE for a tree deeper
// than kZYNSysMostTreeLevels.
DWORD ZYNSysRemoveFolderTree(const wchar_t* path, bool recursive);
