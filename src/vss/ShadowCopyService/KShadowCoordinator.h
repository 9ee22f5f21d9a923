// The shadow copy service: finds the registered hardware provider, activates
// it, calls its operations in the order and with the arguments VSS uses,
// frees what it hands over, and keeps the catalogue.
#pragma once

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "KShadowCatalogue.h"
#include "com.h"

namespace Korvel {

// One call to the provider, as the command reports it.
struct KShadowStep {
    std::string operation;  // "AreLunsSupported"
    std::string subject;    // the disk or shadow copy it concerned
    HRESULT result = S_OK;
};

// Bad input: nothing was changed.
class KShadowRefusal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The provider or an appliance failed a step.
class KShadowFailure : public std::runtime_error {
public:
    KShadowFailure(const std::string& message, KShadowStep step, std::vector<std::string> events)
        : std::runtime_error(message), m_step(std::move(step)), m_events(std::move(events)) {}
    const KShadowStep& Step() const { return m_step; }
    // The provider's event-log entries written during the failed step.
    const std::vector<std::string>& Events() const { return m_events; }

private:
    KShadowStep m_step;
    std::vector<std::string> m_events;
};

// "S_OK", "VSS_E_PROVIDER_VETO", ...; "0x%08X" for others.
std::string HResultName(HRESULT hr);
std::string GuidText(const GUID& guid);                // "{6ABEF83A-7FA0-408C-88FC-98E122AD7280}"
bool ParseGuid(const std::string& text, GUID& guid);  // braces optional, any case
GUID NewRandomGuid();

class KShadowCoordinator {
public:
    struct Options {
        std::string cataloguePath = KShadowCatalogue::DefaultPath();
        DWORD clsContext = CLSCTX_INPROC_SERVER;
        std::chrono::milliseconds rescanTimeout{10000};
        std::function<void(const KShadowStep&)> onStep;  // each provider call as it returns
    };

    // Opens the catalogue; throws KShadowRefusal when it cannot be opened.
    explicit KShadowCoordinator(Options options);

    std::vector<KShadowCopyEntry> Create(const std::vector<std::string>& devices);
    // Returns the new disk's device path.
    std::string Expose(const std::string& shadowId);
    void Release(const std::string& shadowId);
    void Mask(const std::string& shadowId);
    void Revert(const std::string& shadowId);
    void Delete(const std::string& shadowId);
    std::vector<KShadowCopyEntry> List() const { return m_catalogue.List(); }
    // "appliance snapshot" of every "snap_..." snapshot on a configured
    // appliance that no catalogue entry knows: left behind by a create that
    // did not finish.
    std::vector<std::pair<std::string, std::string>> Orphans() const;

    // The CLSID of the first registered hardware provider; throws KShadowRefusal when none is.
    static CLSID FindHardwareProvider();

private:
    class Session;
    KShadowCopyEntry Entry(const std::string& shadowId) const;
    std::string ExposeWith(Session& session, const KShadowCopyEntry& entry);
    void ReleaseWith(Session& session, const KShadowCopyEntry& entry);

    Options m_options;
    KShadowCatalogue m_catalogue;
};

}  // namespace Korvel
