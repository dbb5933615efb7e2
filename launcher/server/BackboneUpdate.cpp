#include "Backbone.h"
