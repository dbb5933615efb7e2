#include "SharedData.h"
