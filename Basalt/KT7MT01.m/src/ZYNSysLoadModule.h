#pragma once
// The one way the framework loads its modules by short name.

#include "ZYNSysModuleHandle.h"

// Loads "<shortName>.dll" from the application's folder or System32 only: the current folder
// and PATH, where anyone may plant a file, are never searched. A name that is empty, too long
// or holds a separator or drive mark ('\', '/', ':') is refused with ERROR_INVALID_NAME (or
// ERROR_FILENAME_EXCED_RANGE) and nothing is loaded. An empty owner when nothing was loaded;
// GetLastError says why.
ZYNSysModuleHandle ZYNSysLoadFrameworkModule(const char* shortName);
