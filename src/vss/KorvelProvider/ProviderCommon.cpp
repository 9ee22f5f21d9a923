#include "ProviderCommon.h"

#include <cstring>

#include "KorvelProvider.h"
#include "Logger.h"

namespace korvel_provider {

bool ReplaceText(char*& field, const std::string& text) {
    CoTaskMemFree(field);
    field = static_cast<char*>(CoTaskMemAlloc(text.size() + 1));
    if (field == nullptr) return false;
    std::memcpy(field, text.c_str(), text.size() + 1);
    return true;
}

void ClearInterconnects(VDS_LUN_INFORMATION& lun) { KorvelFreeLunInterconnects(lun); }

void LogAuthorizationEvent() { Logger::EventLog(1, 1, static_cast<int>(KORVEL_EVENT_AUTHORIZATION_FAILURE), "%s", ""); }

}  // namespace korvel_provider
