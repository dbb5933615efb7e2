#pragma once
// What the framework exports. Code compiled into the framework (and everything in this tree that
// links its archive) sees QOR_SYS_BUILD and exports; a module built against the executable's
// import library imports.

#if !defined(_WIN32)
// The portable containers also build natively (sanitizer tests), where nothing is exported.
#define QOR_SYS_API
#elif defined(QOR_SYS_BUILD)
#define QOR_SYS_API __declspec(dllexport)
#else
#define QOR_SYS_API __declspec(dllimport)
#endif
