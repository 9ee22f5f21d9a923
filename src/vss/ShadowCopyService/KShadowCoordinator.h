// The shadow copy service: finds the registered hardware provider, activates
// it, calls its operations in the order and with the arguments VSS uses,
// frees what it hands over, and keeps the catalogue.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "KShadowCatalogue.h"
#include "com.h"

namespace Korvel {

class KLunRecord;

// One call to the provider, as the command reports it.
struct KShadowStep {
    KShadowStep() = default;
    KShadowStep(std::string op, std::string about, HRESULT hr, std::string printed = std::string())
        : operation(std::move(op)), subject(std::move(about)), result(hr), output(std::move(printed)) {}
    std::string operation;  // "AreLunsSupported"
    std::string subject;    // the disk or shadow copy it concerned
    HRESULT result = S_OK;
    std::string output;  // what a hook printed
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

// Runs `step`: whatever else than a refusal it throws becomes a refusal with
// the same text, as a command that cannot begin is refused.
template <typename Step>
auto RefusedOnFailure(Step&& step) -> decltype(step()) {
    try {
        return step();
    } catch (const KShadowRefusal&) {
        throw;
    } catch (const std::exception& e) {
        throw KShadowRefusal(e.what());
    }
}

// What `list --orphans` finds on the appliances.
struct KShadowOrphans {
    struct Snapshot {
        std::string appliance;
        std::string snapshot;
    };
    struct Clone {
        std::string appliance;
        std::string volume;       // the appliance's volume name
        std::string displayName;  // <snapshot ID>_<n>.clone
        std::string device;       // its disk on this host, or ""
    };
    // Snapshots of volumes that a create of this host left pending: made by
    // a create that did not finish.
    std::vector<Snapshot> snapshots;
    // Clone volumes that no shadow copy here knows: left by an expose that did not finish.
    std::vector<Clone> clones;
    // Other unknown snapshots: possibly another host's shadow copies.
    std::vector<Snapshot> notMadeHere;
    // Appliances that could not be searched, with the cause.
    std::vector<std::string> failures;
};

// What `export` handed over.
struct KShadowExport {
    std::vector<KShadowCopyEntry> copies;
    std::string checksum;  // the document's SHA-256
};

// "S_OK", "VSS_E_PROVIDER_VETO", ...; "0x%08X" for others.
std::string HResultName(HRESULT hr);
std::string GuidText(const GUID& guid);               // "{6ABEF83A-7FA0-408C-88FC-98E122AD7280}"
bool ParseGuid(const std::string& text, GUID& guid);  // braces optional, any case
GUID NewRandomGuid();
// The time now in UTC, as the catalogue and the documents write it: "2026-12-07T10:20:32Z".
std::string UtcNowText();
// The parts joined with "; ", as a message lists what failed.
std::string JoinedText(const std::vector<std::string>& parts);

class KShadowCoordinator {
public:
    struct Options {
        std::string cataloguePath = KShadowCatalogue::DefaultPath();
        DWORD clsContext = CLSCTX_INPROC_SERVER;
        std::chrono::milliseconds rescanTimeout{10000};
        std::function<void(const KShadowStep&)> onStep;  // each provider call as it returns
        std::function<void(const std::string&)> onNote;  // what a command found and did besides
        // Around the commit: the hooks, then the filesystems of the source
        // disks frozen, at most holdLimit; off, a crash-consistent copy.
        bool freeze = true;
        std::string hookFolder = DefaultHookFolder();
        std::chrono::seconds hookTimeout{60};
        std::chrono::milliseconds holdLimit{10000};
    };
    // KORVEL_FREEZE_HOOK_DIR, default /etc/korvel/freeze-hook.d.
    static std::string DefaultHookFolder();

    // Opens the catalogue; throws KShadowRefusal when it cannot be opened.
    explicit KShadowCoordinator(Options options);

    std::vector<KShadowCopyEntry> Create(const std::vector<std::string>& devices);
    // Returns the new disk's device path. With a folder, its filesystem is
    // mounted there read-only.
    std::string Expose(const std::string& shadowId, const std::string& mountDir = std::string());
    void Release(const std::string& shadowId);
    void Mask(const std::string& shadowId);
    void Revert(const std::string& shadowId);
    void Delete(const std::string& shadowId);
    // Drops the catalogue's row without touching the appliance; returns what
    // the appliances still hold for it.
    std::vector<std::string> Forget(const std::string& shadowId);
    std::vector<KShadowCopyEntry> List() const { return m_catalogue.List(); }
    KShadowOrphans Orphans() const;
    // Off-host backup (KShadowCoordinatorTransport.cpp). Export writes the
    // document of a shadow copy, or of every copy of a snapshot set, to
    // `file`, or hands it to `deliver` when `file` is "" (which throws when
    // it cannot pass it on); unless `keep`, the rows then become "exported".
    KShadowExport Export(const std::string& id, const std::string& file, bool keep,
                         const std::function<void(const std::string&)>& deliver = nullptr);
    // Records the document's shadow copies as this host's, after checking it
    // and the appliances; returns the new rows.
    std::vector<KShadowCopyEntry> Import(const std::string& file);

    // The CLSID of the first registered hardware provider; throws KShadowRefusal when none is.
    static CLSID FindHardwareProvider();

private:
    class Session;
    class RowLock;
    KShadowCopyEntry Entry(const std::string& shadowId) const;
    std::string ExposeWith(Session& session, KShadowCopyEntry& entry);
    // Unmounts every mount of the disk (a busy one refuses, changing
    // nothing), then takes the disk away from this host. `ownDisk`: the
    // entry's exposed disk, whose mount point the catalogue forgets.
    void TakeAway(const KShadowCopyEntry& entry, const std::string& device, bool ownDisk = true);
    // The disk of an exposed copy that vanished may still be mounted where
    // expose mounted it: the kernel keeps a mounted device until it is unmounted.
    void UnmountVanished(const KShadowCopyEntry& entry);
    // Finishes (when `adopt` and the clone's disk is here) or undoes an
    // expose whose command stopped half-way: clones of the entry's snapshot
    // that it does not record are deleted.
    void Repair(KShadowCopyEntry& entry, bool adopt);
    bool Adopt(KShadowCopyEntry& entry, const std::string& device);
    // Asks the provider whether `disk`, seen at `device`, shows the entry's
    // snapshot; when it does, records it as the entry's exposed disk.
    bool ClaimExposedDisk(Session& session, KShadowCopyEntry& entry, const std::string& device, KLunRecord& disk);
    // The disk that shows the entry's exposed clone, found by its identity; "" when none does.
    std::string FindExposedDisk(const KShadowCopyEntry& entry) const;
    // Release (keepSnapshot false) or mask of an exposed shadow copy.
    void Unexpose(const std::string& shadowId, bool keepSnapshot);
    void ReleaseOnDisk(Session& session, const KShadowCopyEntry& entry, const std::string& device);
    void MaskOnDisk(Session& session, const KShadowCopyEntry& entry, const std::string& device);
    // With no disk to go through: the clones and (unless kept) the snapshot
    // are removed on the appliance itself.
    void FinishOnAppliance(const KShadowCopyEntry& entry, bool keepSnapshot);
    // Fails naming what is left on the appliance of the entry.
    void CheckGone(const KShadowCopyEntry& entry, bool keepSnapshot, const std::string& operation) const;
    void Note(const std::string& text) const;
    // For the coordinator's other files: a RowLock held as long as the
    // pointer lives, and this host's disks by their LUN IEEE ID.
    std::shared_ptr<void> LockRow(const std::string& shadowId, const std::string& operation) const;
    static std::map<std::string, std::string> DisksHere();

    Options m_options;
    KShadowCatalogue m_catalogue;
};

}  // namespace Korvel
