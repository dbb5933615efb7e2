#include "SystrayComs.h"
