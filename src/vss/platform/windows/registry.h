// The registry functions, plus our own key guard.
#pragma once

#include "wintypes.h"

#include <winreg.h>

#include "korvel_registry.h"
