// Fuzz target: the local server's handling of the frames that follow an
// activation. The input is what a client sends: frames of a 4-byte
// little-endian length and that many bytes, one after another (a last frame
// cut short is taken as it is). Each input gets a provider object of its own,
// made as the server makes it, whose only appliance is recorded at an
// address that refuses connections, so every appliance call fails at once.
// Every frame's reply is encoded as the server would send it. A crash, a
// sanitizer report, a leak or an exception out of the handling is a fault.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "KorvelProvider.h"
#include "KorvelProviderHost.h"
#include "Logger.h"
#include "Stub.h"
#include "registry.h"

namespace {

namespace pb = ::korvel::remoting;

// A registry store, log folder and sysfs tree of the target's own, removed
// at exit.
class Scene {
public:
    Scene() {
        std::string templ = (std::filesystem::temp_directory_path() / "korvel-frames-fuzz-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr) Fail("cannot make a scratch folder");
        m_dir = templ;
        std::filesystem::create_directories(m_dir + "/sys");
        setenv("KORVEL_REGISTRY_ROOT", (m_dir + "/registry").c_str(), 1);
        setenv("KORVEL_LOG_DIR", (m_dir + "/log").c_str(), 1);
        setenv("KORVEL_SYSFS_ROOT", (m_dir + "/sys").c_str(), 1);
        setenv("KORVEL_SYSLOG_SOCKET", (m_dir + "/no-syslog").c_str(), 1);
        setenv("KORVEL_INITIATOR_FILE", (m_dir + "/initiatorname.iscsi").c_str(), 1);
        std::ofstream(m_dir + "/initiatorname.iscsi") << "InitiatorName=iqn.2026-12.local.example:fuzz\n";
        Logger::Initialize("KorvelVSSProvider.log", KLOG_ERROR, false);

        // Port 1 on the loopback answers every connection with a refusal.
        HKEY key = nullptr;
        const char* accessKey = "fuzz-access-key";
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\HwProvider\\127.0.0.1:1", 0, nullptr,
                            REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS ||
            RegSetValueExA(key, "AccessKey", 0, REG_SZ, reinterpret_cast<const BYTE*>(accessKey), 16) != ERROR_SUCCESS)
            Fail("cannot record the appliance");
        RegCloseKey(key);
        if (FAILED(KorvelRegisterProviderClass(CLSCTX_LOCAL_SERVER, &m_cookie))) Fail("cannot register the class");
        KorvelHoldTransportForProcess();  // as the server does: OnLoad and OnUnload leave it alone
    }
    ~Scene() {
        CoRevokeClassObject(m_cookie);
        Logger::CloseStream();
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    [[noreturn]] static void Fail(const char* what) {
        std::fprintf(stderr, "frames: %s\n", what);
        std::abort();
    }

private:
    std::string m_dir;
    DWORD m_cookie = 0;
};

Scene& TheScene() {
    static Scene scene;
    return scene;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TheScene();
    korvel_remoting::ObjectStub stub;
    pb::Activated activated;
    if (FAILED(stub.Activate(CLSID_KorvelVSSProvider, activated))) Scene::Fail("the activation failed");
    size_t at = 0;
    while (at + 4 <= size) {
        const uint32_t length = static_cast<uint32_t>(data[at]) | static_cast<uint32_t>(data[at + 1]) << 8 |
                                static_cast<uint32_t>(data[at + 2]) << 16 | static_cast<uint32_t>(data[at + 3]) << 24;
        at += 4;
        const size_t frame = length < size - at ? length : size - at;
        pb::Reply reply;
        std::string why;
        korvel_remoting::ObjectStub::Outcome outcome;
        try {
            outcome = stub.Handle(reinterpret_cast<const char*>(data + at), frame, reply, why);
            reply.SerializeAsString();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "frames: an exception out of the handling: %s\n", e.what());
            std::abort();
        }
        at += frame;
        if (outcome == korvel_remoting::ObjectStub::Outcome::Drop ||
            outcome == korvel_remoting::ObjectStub::Outcome::Released)
            break;
    }
    return 0;
}
