// The shadow copy service's interface IDs. The SDK's vssapi.lib defines
// them; mingw-w64 ships no library that does, so they are defined here from
// the SDK headers' own declarations (DEFINE_GUID after initguid.h).
#include "com.h"

#include <initguid.h>

#include <vss.h>
#include <vsprov.h>
