// The calling thread's last-error code and its system text.
#pragma once

#include "wintypes.h"
