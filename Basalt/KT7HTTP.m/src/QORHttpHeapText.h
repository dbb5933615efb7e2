#pragma once
// A malloc'ed text or buffer: the stack hands its callers texts they free with free(), and
// keeps its own in the same form so that one owner serves both.

#include <cstdlib>

#include "ZYNSysHandle.h"

inline void QORHttpFreeText(char* text) { std::free(text); }

// Put() gives the char** slot that the stack's out-parameters take; Take() hands the text on.
using QORHttpHeapText = ZYNSysHandle<ZYNSysHandleTraits<char*, &QORHttpFreeText>>;
