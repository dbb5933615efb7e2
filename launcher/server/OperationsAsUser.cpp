#include "OperationsAsUser.h"
