// LUN records as the shadow copy service keeps them: built from a disk of
// this host, handed to the provider, and stored byte for byte.
#pragma once

#include <string>
#include <vector>

#include "vss.h"

namespace Korvel {

// A VDS_LUN_INFORMATION whose buffers come from CoTaskMemAlloc and are
// released with CoTaskMemFree when the record goes, whoever filled them.
class KLunRecord {
public:
    KLunRecord() : m_info{} {}
    ~KLunRecord() { Free(m_info); }
    KLunRecord(KLunRecord&& other) noexcept : m_info(other.m_info) { other.m_info = VDS_LUN_INFORMATION{}; }
    KLunRecord& operator=(KLunRecord&& other) noexcept;
    KLunRecord(const KLunRecord&) = delete;
    KLunRecord& operator=(const KLunRecord&) = delete;

    VDS_LUN_INFORMATION& Info() { return m_info; }
    const VDS_LUN_INFORMATION& Info() const { return m_info; }

    // The record VSS builds for a disk ("/dev/sdb") from its SCSI
    // descriptions, through CreateFileA and DeviceIoControl. Throws
    // std::runtime_error naming the failed step and its error code.
    static KLunRecord FromDisk(const std::string& device);

    // Every byte of the record, pointers followed: equal blobs mean equal records.
    std::string Encode() const;
    // Throws std::runtime_error for a blob that Encode did not write.
    static KLunRecord Decode(const std::string& blob);
    KLunRecord Copy() const { return Decode(Encode()); }

    static void Free(VDS_LUN_INFORMATION& info);

private:
    VDS_LUN_INFORMATION m_info;
};

// Block device names under <KORVEL_SYSFS_ROOT>/class/block, sorted.
std::vector<std::string> BlockDevices();

// The text of a vendor-ID identifier's bytes.
std::string IdentifierText(const VDS_STORAGE_IDENTIFIER& id);

}  // namespace Korvel
