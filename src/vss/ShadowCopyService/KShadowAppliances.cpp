#include "KShadowAppliances.h"

#include <set>

#include "NodeFacts.h"

namespace Korvel {

namespace {

std::string AddressOf(KArray* array) {
    std::string* address = nullptr;
    array->GetIPAddress(address);
    return address != nullptr ? *address : std::string();
}

}  // namespace

std::string ApplianceFailure(const std::string& appliance, const std::exception& e) {
    // A transport failure names the appliance itself.
    if (dynamic_cast<const KTransportFailure*>(&e) != nullptr) return FailureText(e);
    return "appliance " + appliance + ": " + e.what();
}

KShadowAppliances::KShadowAppliances() {
    KAccessLayer::GlobalInit();
    try {
        m_layer = std::make_unique<KAccessLayer>();
        m_layer->DiscoverArrays();
        m_layer->GetArrays(m_arrays);
    } catch (...) {
        m_layer.reset();
        KAccessLayer::GlobalCleanup();
        throw;
    }
}

KShadowAppliances::~KShadowAppliances() {
    m_layer.reset();
    KAccessLayer::GlobalCleanup();
}

void KShadowAppliances::Fail(KArray* array, const std::string& appliance, const std::exception& e) {
    for (KArray* failed : m_failed)
        if (failed == array) return;
    m_failed.push_back(array);
    m_failures.push_back(ApplianceFailure(appliance, e));
}

const std::vector<KShadowAppliances::Volume>& KShadowAppliances::Volumes() {
    if (m_volumesListed) return m_volumes;
    m_volumesListed = true;
    ListEach([this](KArray* array, const std::string& appliance) {
        std::list<KVolumeListing> listings;
        array->ListVolumesFromArray(listings);
        for (KVolumeListing& listing : listings) {
            Volume volume{array, appliance, listing, std::string()};
            ParseCloneDisplayName(listing.volDispName, volume.cloneOf);
            m_volumes.push_back(std::move(volume));
        }
    });
    return m_volumes;
}

const std::vector<KShadowAppliances::Snapshot>& KShadowAppliances::Snapshots() {
    if (m_snapshotsListed) return m_snapshots;
    m_snapshotsListed = true;
    ListEach([this](KArray* array, const std::string& appliance) {
        std::list<std::string> ids;
        if (array->GetSnapshotIDsFromArray(ids) == 1)
            throw KException("its snapshot listing lacked the expected element");
        for (const std::string& id : ids) m_snapshots.push_back(Snapshot{appliance, id});
    });
    return m_snapshots;
}

void KShadowAppliances::ListEach(const std::function<void(KArray*, const std::string&)>& list) {
    for (KArray* array : m_arrays) {
        const std::string appliance = AddressOf(array);
        try {
            list(array, appliance);
        } catch (const std::exception& e) {
            Fail(array, appliance, e);
        }
    }
}

std::vector<KShadowAppliances::Volume> KShadowAppliances::ClonesOf(const std::string& snapshotId) {
    std::vector<Volume> clones;
    for (const Volume& volume : Volumes())
        if (!volume.cloneOf.empty() && volume.cloneOf == snapshotId) clones.push_back(volume);
    return clones;
}

std::optional<bool> KShadowAppliances::HasSnapshot(const std::string& snapshotId) {
    for (const Snapshot& snapshot : Snapshots())
        if (snapshot.id == snapshotId) return true;
    if (!m_failed.empty()) return std::nullopt;
    return false;
}

std::optional<bool> KShadowAppliances::HasVolume(const std::string& ieeeId) {
    for (const Volume& volume : Volumes())
        if (volume.listing.volID == ieeeId) return true;
    if (!m_failed.empty()) return std::nullopt;
    return false;
}

std::vector<std::string> KShadowAppliances::Addresses() const {
    std::vector<std::string> addresses;
    for (KArray* array : m_arrays) addresses.push_back(AddressOf(array));
    return addresses;
}

bool KShadowAppliances::Failed(const std::string& address) const {
    for (KArray* array : m_failed)
        if (AddressOf(array) == address) return true;
    return false;
}

std::string KShadowAppliances::RemoveClone(const Volume& clone) {
    std::string name = clone.listing.volName;
    try {
        // The appliance refuses to delete a mapped volume: unmap it from this
        // host first (a mapping to another host is not ours to remove).
        std::string iqn, serverId;
        KorvelHostInfo::GetIQN(iqn);
        if (!iqn.empty() && clone.array->GetServerIDByIQNFromArray(iqn, serverId) == 0) {
            try {
                clone.array->DetachVolume(name, serverId);
            } catch (const KException&) {
                // Not mapped to this host.
            }
        }
        if (clone.array->DeleteVolume(name) == 0) return std::string();
        return "the clone volume " + name + " on " + clone.appliance + " stays: its deletion was not confirmed";
    } catch (const std::exception& e) {
        return "the clone volume " + name + " on " + clone.appliance + " stays: " + FailureText(e);
    }
}

std::string KShadowAppliances::RemoveSnapshot(const std::string& snapshotId) {
    std::string unsearched;
    for (KArray* array : m_arrays) {
        const std::string appliance = AddressOf(array);
        std::string id = snapshotId;
        KVolume* volume = nullptr;
        try {
            if (array->GetVolumeBySnapIDFromArray(id, volume) != 0 || volume == nullptr) continue;
        } catch (const std::exception& e) {
            unsearched += "; " + ApplianceFailure(appliance, e);
            continue;
        }
        try {
            if (volume->DeleteSnapshot(id) == 0) return std::string();
            return "the snapshot " + snapshotId + " on " + appliance + " stays: its deletion was not confirmed";
        } catch (const std::exception& e) {
            return "the snapshot " + snapshotId + " on " + appliance + " stays: " + FailureText(e);
        }
    }
    // Not found where it could be looked for.
    return unsearched.empty() ? std::string() : "the snapshot " + snapshotId + " may stay" + unsearched;
}

}  // namespace Korvel
