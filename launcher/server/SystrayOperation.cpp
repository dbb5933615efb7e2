#include "SystrayOperation.h"
