#pragma once
// The environment block of a user token (CreateEnvironmentBlock); users link userenv.

#include "ZYNSysHandle.h"
#include "ZYNSysWin.h"

#include <userenv.h>

using ZYNSysEnvironmentBlockTraits = ZYNSysHandleTraits<void*, &::DestroyEnvironmentBlock>;
using ZYNSysEnvironmentBlock = ZYNSysHandle<ZYNSysEnvironmentBlockTraits>;
