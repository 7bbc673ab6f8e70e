// The utility components of the request engine: the template filters.
#pragma once

#include "engine/HUtilsFilter.h"
#include "engine/HUtilsCookie.h"
