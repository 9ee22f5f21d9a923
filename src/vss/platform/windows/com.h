// COM basics (result codes, GUIDs, IUnknown, class factories, activation and
// the task memory allocator): the Windows SDK's, plus our own GUID text.
#pragma once

#include "wintypes.h"

#include <objbase.h>

#include "korvel_com.h"
