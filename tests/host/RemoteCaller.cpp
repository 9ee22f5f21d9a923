// A client of the local server for the tests, as another user would run it:
//   korvel_remote_caller UID GID GROUP
// drops to the user ID and group ID (keeping the one supplementary GROUP, so
// the socket's group can still reach the server), activates the provider
// through KORVEL_PROVIDER_SOCKET and calls the four operations the
// administrator check guards, printing one "<operation> <result>" line each.
#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "KorvelRemoting.h"
#include "vss.h"

namespace {

void Print(const char* operation, HRESULT hr) { std::printf("%s %08x\n", operation, static_cast<unsigned>(hr)); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s UID GID GROUP\n", argv[0]);
        return 2;
    }
    const gid_t group = static_cast<gid_t>(std::strtoul(argv[3], nullptr, 10));
    if (setgroups(1, &group) != 0 || setgid(static_cast<gid_t>(std::strtoul(argv[2], nullptr, 10))) != 0 ||
        setuid(static_cast<uid_t>(std::strtoul(argv[1], nullptr, 10))) != 0) {
        std::perror("dropping privileges");
        return 3;
    }
    KorvelInstallLocalActivator();
    IVssHardwareSnapshotProviderEx* provider = nullptr;
    HRESULT hr = CoCreateInstance(GUID{0x6ABEF83A, 0x7FA0, 0x408C, {0x88, 0xFC, 0x98, 0xE1, 0x22, 0xAD, 0x72, 0x80}},
                                  nullptr, CLSCTX_LOCAL_SERVER, IID_IVssHardwareSnapshotProviderEx,
                                  reinterpret_cast<void**>(&provider));
    Print("Activate", hr);
    if (FAILED(hr)) return 1;

    // A LUN of the appliance's vendor with an EUI-64 identifier.
    BYTE eui[8] = {0x6b, 0x72, 0x76, 0, 0, 0, 0x0a, 0x01};
    VDS_STORAGE_IDENTIFIER id = {VDSStorageIdCodeSetBinary, VDSStorageIdTypeEUI64, 8, eui};
    char vendor[] = "Korvel";
    VDS_LUN_INFORMATION lun{};
    lun.m_szVendorId = vendor;
    lun.m_deviceIdDescriptor.m_cIdentifiers = 1;
    lun.m_deviceIdDescriptor.m_rgIdentifiers = &id;
    VDS_LUN_INFORMATION target = lun;

    BOOL supported = FALSE;
    Print("AreLunsSupported", provider->AreLunsSupported(1, 0, nullptr, &lun, &supported));
    WCHAR device[] = u"/dev/sda";
    Print("FillInLunInfo", provider->FillInLunInfo(device, &lun, &supported));
    Print("LocateLuns", provider->LocateLuns(1, &lun));
    IVssAsync* async = nullptr;
    Print("ResyncLuns", provider->ResyncLuns(&lun, &target, 1, &async));
    if (async != nullptr) async->Release();
    provider->Release();
    return 0;
}
