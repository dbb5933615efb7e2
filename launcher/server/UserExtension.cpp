#include "UserExtension.h"
