// A client of the local server for the tests, as another user would run it:
//   korvel_remote_caller UID GID GROUP [MODE [ARG]]
// drops to the user ID and group ID (keeping the one supplementary GROUP, so
// the socket's group can still reach the server), then, by MODE:
//   guarded (default)  activates the provider through KORVEL_PROVIDER_SOCKET
//                      and calls the four operations the administrator check
//                      guards, printing one "<operation> <result>" line each
//   mask EUI64         activates and asks OnLunStateChange to mask the LUN
//                      with that EUI-64 identifier (16 hexadecimal digits)
//   hold N             activates N objects, printing each result, prints
//                      "holding" and keeps them until killed
//   silent N           opens N connections that never send anything, prints
//                      "holding K" with the number the server kept open, and
//                      keeps them until killed
//   listen PATH        listens on PATH as a server would, prints "listening",
//                      then "received N" with the bytes of the first
//                      connection (within 20 s)
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KorvelRemoting.h"
#include "vss.h"

namespace {

const CLSID kProviderClass = {0x6ABEF83A, 0x7FA0, 0x408C, {0x88, 0xFC, 0x98, 0xE1, 0x22, 0xAD, 0x72, 0x80}};

void Print(const char* operation, HRESULT hr) {
    std::printf("%s %08x\n", operation, static_cast<unsigned>(hr));
    std::fflush(stdout);
}

IVssHardwareSnapshotProviderEx* Activate() {
    IVssHardwareSnapshotProviderEx* provider = nullptr;
    HRESULT hr = CoCreateInstance(kProviderClass, nullptr, CLSCTX_LOCAL_SERVER, IID_IVssHardwareSnapshotProviderEx,
                                  reinterpret_cast<void**>(&provider));
    Print("Activate", hr);
    return SUCCEEDED(hr) ? provider : nullptr;
}

// A LUN of the appliance's vendor with an EUI-64 identifier.
struct Lun {
    explicit Lun(const std::string& eui64) {
        for (size_t i = 0; i < 8 && 2 * i + 1 < eui64.size(); ++i)
            eui[i] = static_cast<BYTE>(std::strtoul(eui64.substr(2 * i, 2).c_str(), nullptr, 16));
        info.m_szVendorId = vendor;
        info.m_deviceIdDescriptor.m_cIdentifiers = 1;
        info.m_deviceIdDescriptor.m_rgIdentifiers = &id;
    }
    BYTE eui[8] = {};
    VDS_STORAGE_IDENTIFIER id = {VDSStorageIdCodeSetBinary, VDSStorageIdTypeEUI64, 8, eui};
    char vendor[7] = "Korvel";
    VDS_LUN_INFORMATION info{};
};

int Guarded() {
    IVssHardwareSnapshotProviderEx* provider = Activate();
    if (provider == nullptr) return 1;
    Lun lun("6b72760000000a01");
    VDS_LUN_INFORMATION target = lun.info;
    BOOL supported = FALSE;
    Print("AreLunsSupported", provider->AreLunsSupported(1, 0, nullptr, &lun.info, &supported));
    WCHAR device[] = u"/dev/sda";
    Print("FillInLunInfo", provider->FillInLunInfo(device, &lun.info, &supported));
    Print("LocateLuns", provider->LocateLuns(1, &lun.info));
    IVssAsync* async = nullptr;
    Print("ResyncLuns", provider->ResyncLuns(&lun.info, &target, 1, &async));
    if (async != nullptr) async->Release();
    provider->Release();
    return 0;
}

int Mask(const std::string& eui64) {
    IVssHardwareSnapshotProviderEx* provider = Activate();
    if (provider == nullptr) return 1;
    Lun lun(eui64);
    Print("OnLunStateChange",
          provider->OnLunStateChange(&lun.info, nullptr, 1, VSS_ONLUNSTATECHANGE_DO_MASK_LUNS));
    provider->Release();
    return 0;
}

[[noreturn]] void HoldUntilKilled() {
    for (;;) pause();
}

int Hold(int count) {
    std::vector<IVssHardwareSnapshotProviderEx*> held;
    for (int i = 0; i < count; ++i) held.push_back(Activate());
    std::printf("holding\n");
    std::fflush(stdout);
    HoldUntilKilled();
}

int Connect() {
    const std::string path = KorvelProviderSocketPath();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The server answers a connection it does not take and closes it at once.
bool KeptOpen(int fd) {
    pollfd p = {fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

int Silent(int count) {
    std::vector<int> open;
    for (int i = 0; i < count; ++i) open.push_back(Connect());
    usleep(300 * 1000);
    int kept = 0;
    for (int fd : open)
        if (fd >= 0 && KeptOpen(fd)) ++kept;
    std::printf("holding %d\n", kept);
    std::fflush(stdout);
    HoldUntilKilled();
}

int Listen(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 4) != 0) {
        std::perror("listen");
        return 1;
    }
    std::printf("listening\n");
    std::fflush(stdout);
    pollfd p = {listener, POLLIN, 0};
    if (::poll(&p, 1, 20000) != 1) return 1;
    int fd = ::accept(listener, nullptr, nullptr);
    size_t received = 0;
    char buffer[4096];
    for (pollfd in = {fd, POLLIN, 0}; ::poll(&in, 1, 2000) == 1;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        received += static_cast<size_t>(n);
    }
    std::printf("received %zu\n", received);
    ::close(fd);
    ::unlink(path.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s UID GID GROUP [MODE [ARG]]\n", argv[0]);
        return 2;
    }
    const gid_t group = static_cast<gid_t>(std::strtoul(argv[3], nullptr, 10));
    if (setgroups(1, &group) != 0 || setgid(static_cast<gid_t>(std::strtoul(argv[2], nullptr, 10))) != 0 ||
        setuid(static_cast<uid_t>(std::strtoul(argv[1], nullptr, 10))) != 0) {
        std::perror("dropping privileges");
        return 3;
    }
    const std::string mode = argc > 4 ? argv[4] : "guarded";
    const std::string arg = argc > 5 ? argv[5] : "";
    KorvelInstallLocalActivator();
    if (mode == "guarded") return Guarded();
    if (mode == "mask") return Mask(arg);
    if (mode == "hold") return Hold(std::atoi(arg.c_str()));
    if (mode == "silent") return Silent(std::atoi(arg.c_str()));
    if (mode == "listen") return Listen(arg);
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}
