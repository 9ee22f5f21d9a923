#include "ProviderCommon.h"

#include <cstring>

#include "KorvelProvider.h"
#include "Logger.h"

namespace korvel_provider {

bool ReplaceFieldText(char*& field, const std::string& text) {
    CoTaskMemFree(field);
    field = static_cast<char*>(CoTaskMemAlloc(text.size() + 1));
    if (field == nullptr) return false;
    std::memcpy(field, text.c_str(), text.size() + 1);
    return true;
}

std::string NarrowDeviceName(const WCHAR* name) {
    std::string device;
    for (const WCHAR* c = name; c != nullptr && *c != 0; ++c) device += static_cast<char>(*c & 0xFF);
    return device;
}

void ClearInterconnects(VDS_LUN_INFORMATION& lun) { KorvelFreeLunInterconnects(lun); }

void LogAuthorizationEvent() { Logger::EventLog(1, 1, static_cast<int>(KORVEL_EVENT_AUTHORIZATION_FAILURE), "%s", ""); }

void ApplianceSearch::Passed(Korvel::KArray* array, const Korvel::KException& e) {
    std::string* address = nullptr;
    array->GetIPAddress(address);
    Logger::Write(KLOG_WARNING, kProviderComponent, "Array %s could not be searched: %s",
                  address != nullptr ? address->c_str() : "", Korvel::FailureText(e).c_str());
    if (!m_first) m_first = std::current_exception();
    m_causes += (m_causes.empty() ? "" : "; ") + Korvel::FailureText(e);
    ++m_failures;
}

void ApplianceSearch::NotFound() const {
    if (m_failures > 1) throw Korvel::KException(m_causes);
    if (m_first) std::rethrow_exception(m_first);
}

}  // namespace korvel_provider
