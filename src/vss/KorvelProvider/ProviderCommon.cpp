#include "ProviderCommon.h"

#include <cstring>
#include <new>
#include <stdexcept>

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

HRESULT ArgumentOrMemoryResult(const std::exception& e) {
    const bool argument = dynamic_cast<const std::invalid_argument*>(&e) != nullptr;
    const bool memory = dynamic_cast<const std::bad_alloc*>(&e) != nullptr;
    if (!argument && !memory) return S_OK;
    Logger::Write(KLOG_ERROR, kProviderComponent, "%s", e.what());
    return argument ? E_INVALIDARG : E_OUTOFMEMORY;
}

Outcome Operation::Exit(HRESULT hr, int level) const {
    Logger::Write(level, kProviderComponent, "Exiting CKorvelVSSProvider::%s(%x)", m_name, Hex(hr));
    return Outcome(hr);
}

Outcome Operation::Exit(HRESULT hr, int level, const std::string& reason) const {
    Logger::Write(level, kProviderComponent, "Exiting CKorvelVSSProvider::%s(%x). %s", m_name, Hex(hr), reason.c_str());
    return Outcome(hr);
}

Outcome Operation::ExitAnswering(HRESULT shown, HRESULT answer) const {
    Exit(shown);
    return Outcome(answer);
}

Outcome Operation::LastResort(const std::exception& e) const {
    Logger::Write(KLOG_ERROR, kProviderComponent, "%s", e.what());
    return Outcome(VSS_E_PROVIDER_VETO);
}

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
