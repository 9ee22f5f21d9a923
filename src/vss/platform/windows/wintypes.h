// Windows base types and error codes: the Windows SDK's own. Only the parts
// of windows.h the components use; min and max stay the standard library's.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
