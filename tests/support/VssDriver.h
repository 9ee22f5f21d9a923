// Plays the shadow copy service for the provider tests: builds LUN records
// from the disks the simulators show, calls the provider's operations in the
// service's order and frees every buffer the provider hands over.
#pragma once

#include <string>
#include <vector>

#include "KLunRecord.h"
#include "KShadowCoordinator.h"
#include "vss.h"

namespace korvel_test {

// The service's own LUN records: built from disks, freed with CoTaskMemFree.
using LunRecord = Korvel::KLunRecord;
using Korvel::BlockDevices;
using Korvel::IdentifierText;

class VssDriver {
public:
    explicit VssDriver(IUnknown* provider);  // takes its own references
    ~VssDriver();
    VssDriver(const VssDriver&) = delete;
    VssDriver& operator=(const VssDriver&) = delete;

    IVssHardwareSnapshotProviderEx* Hardware() { return m_hardware; }
    IVssProviderCreateSnapshotSet* Creator() { return m_creator; }
    IVssProviderNotifications* Notifications() { return m_notifications; }

    struct Created {
        HRESULT result = S_OK;      // the first failure, or S_OK
        std::string failedStep;     // the operation that failed
        BOOL supported = FALSE;     // the last AreLunsSupported answer
        VSS_ID snapshotSetId{};
        std::vector<VSS_ID> snapshotIds;  // one per source disk
        std::vector<LunRecord> targets;   // what GetTargetLuns filled, one per source
    };
    // One snapshot set of the given disks' records, one snapshot per disk.
    Created Create(std::vector<LunRecord>& sources, LONG context = 0);

    struct Exposed {
        std::string device;  // "/dev/sdX"
        LunRecord record;    // as FillInLunInfo left it
    };
    // LocateLuns with the target records, a rescan of the disks, and
    // FillInLunInfo for each new disk; `exposed` gets the disks the provider
    // recognised. Returns the first failure.
    HRESULT Expose(std::vector<LunRecord>& targets, std::vector<Exposed>& exposed);
    HRESULT Release(Exposed& exposed);
    HRESULT Mask(std::vector<LunRecord>& luns);
    // Rolls each target back to the snapshot its tagged record names; the
    // completed operation is waited for and released.
    HRESULT Revert(LunRecord& tagged, LunRecord& target);

private:
    IVssHardwareSnapshotProviderEx* m_hardware = nullptr;
    IVssProviderCreateSnapshotSet* m_creator = nullptr;
    IVssProviderNotifications* m_notifications = nullptr;
};

inline VSS_ID NewGuid() { return Korvel::NewRandomGuid(); }
std::u16string Wide(const std::string& text);

}  // namespace korvel_test
