// Our own helper on the COM types, the same on every platform: the components
// and the platform layer include it through "com.h".
#pragma once

#include <string>

// "{6ABEF83A-7FA0-408C-88FC-98E122AD7280}", as the registry records keep GUIDs.
std::string KorvelGuidText(REFGUID rguid);
