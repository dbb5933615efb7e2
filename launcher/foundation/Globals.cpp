#include "Globals.h"

std::atomic<bool> G_STOP{false};
