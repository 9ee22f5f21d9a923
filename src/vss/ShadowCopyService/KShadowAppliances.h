// The appliances as the shadow copy service looks at them itself: what an
// interrupted command left behind, and whether what a command deleted is
// really gone, cannot be learnt through the provider. Each appliance is asked
// on its own: one that cannot be asked is named in Failures(), and the others
// still answer.
#pragma once

#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KorvelAccessLibrary.h"

namespace Korvel {

class KShadowAppliances {
public:
    KShadowAppliances();
    ~KShadowAppliances();
    KShadowAppliances(const KShadowAppliances&) = delete;
    KShadowAppliances& operator=(const KShadowAppliances&) = delete;

    struct Volume {
        KArray* array = nullptr;
        std::string appliance;  // its address
        KVolumeListing listing;
        std::string cloneOf;  // the snapshot it was cloned from, "" for other volumes
    };
    struct Snapshot {
        std::string appliance;
        std::string id;
    };

    // Listed once per appliance, on first use.
    const std::vector<Volume>& Volumes();
    const std::vector<Snapshot>& Snapshots();
    std::vector<Volume> ClonesOf(const std::string& snapshotId);
    // True or false when every appliance answered; nothing when one could not.
    std::optional<bool> HasSnapshot(const std::string& snapshotId);
    std::optional<bool> HasVolume(const std::string& ieeeId);

    // Deletes a clone, unmapping it from this host first when it is mapped;
    // "" when it is gone, otherwise why it stays.
    std::string RemoveClone(const Volume& clone);
    // "" when the snapshot is gone, otherwise why it stays.
    std::string RemoveSnapshot(const std::string& snapshotId);

    // "appliance ... could not be searched: cause", one per appliance that failed.
    const std::vector<std::string>& Failures() const { return m_failures; }
    // The addresses of the appliances the configuration store gave, and
    // whether one of them failed a listing so far.
    std::vector<std::string> Addresses() const;
    bool Failed(const std::string& address) const;

private:
    void Fail(KArray* array, const std::string& appliance, const std::exception& e);
    // Runs `list` on every appliance: one that fails is named in Failures()
    // and the others go on.
    void ListEach(const std::function<void(KArray*, const std::string&)>& list);

    std::unique_ptr<KAccessLayer> m_layer;
    std::list<KArray*> m_arrays;
    std::vector<Volume> m_volumes;
    std::vector<Snapshot> m_snapshots;
    bool m_volumesListed = false;
    bool m_snapshotsListed = false;
    std::vector<KArray*> m_failed;
    std::vector<std::string> m_failures;
};

// The text an administrator reads for an appliance that could not be asked.
std::string ApplianceFailure(const std::string& appliance, const std::exception& e);

}  // namespace Korvel
