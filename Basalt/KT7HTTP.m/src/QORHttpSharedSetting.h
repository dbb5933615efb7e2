#pragma once
// Process-wide named settings shared between components, looked up by name. Only the CASTGC
// guard asks ("LoginWithUI"); nothing fills the table yet, so every lookup fails with E_FAIL.

#include <cstdint>

#include "ZYNSysWin.h"

// 0 with both numbers and a malloc'ed wide copy of the text; 0x80070002 for an unknown name;
// E_FAIL without table. Nothing throws.
HRESULT GetSharedSetting(const char* name, std::uint32_t* outFirst, std::uint32_t* outSecond,
                         wchar_t** outValue) noexcept;
