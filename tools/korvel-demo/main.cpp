// Demo: the access library at work against an appliance.
//
//   korvel-demo --array ADDR:PORT --access-key KEY [--iqn IQN]
//       talks to a running appliance (scripts/demo starts `qsta-simulator`);
//   korvel-demo
//       starts a simulated appliance inside this process and talks to that.
//
// The appliance is recorded in a configuration store made for this run in a
// temporary folder (KORVEL_REGISTRY_ROOT is pointed there), discovered through
// the access layer, and then put through the provider's typical sequence:
// lookups, a snapshot set, a clone, a host entry, a mapping and the clean-up.
#include <qsta/Simulator.h>

#include <stdlib.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "KConnection.h"
#include "KRecords.h"
#include "KorvelAccessLibrary.h"
#include "KorvelStore.h"
#include "Logger.h"
#include "registry.h"

using Korvel::KAccessLayer;
using Korvel::KArray;
using Korvel::kStoreKey;
using Korvel::KVolume;
using Korvel::StoreEntryKey;

namespace {

const char* const kUsage =
    "Usage: korvel-demo [--array ADDR:PORT --access-key KEY] [--iqn IQN]\n"
    "\n"
    "Records the appliance in a temporary configuration store, discovers it\n"
    "through the access library and runs lookups, a snapshot set, a clone, a\n"
    "host entry, a mapping and the clean-up, printing each step.\n"
    "Without --array a simulated appliance is started in this process.\n";

const char* const kDefaultIQN = "iqn.2026-12.example.demo:korvel-demo";

int g_step = 0;

void Step(const std::string& text) {
    std::printf("%2d. %s\n", ++g_step, text.c_str());
    std::fflush(stdout);
}

void Detail(const std::string& text) {
    std::printf("    %s\n", text.c_str());
    std::fflush(stdout);
}

void Require(int result, const char* what) {
    Detail(std::string(what) + " -> " + std::to_string(result));
    if (result != 0) throw std::runtime_error(std::string(what) + " returned " + std::to_string(result));
}

// A folder made for this run and removed with everything in it.
class TempFolder {
public:
    TempFolder() {
        const char* base = getenv("TMPDIR");
        std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/korvel-demo-XXXXXX";
        if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("cannot make a temporary folder");
        m_path = templ;
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

KorvelRegKey CreateKey(const std::string& path) {
    KorvelRegKey key;
    if (KorvelCreateKey(HKEY_LOCAL_MACHINE, path, key) != ERROR_SUCCESS)
        throw std::runtime_error("cannot create registry key " + path);
    return key;
}

void SetText(const KorvelRegKey& key, const char* name, const std::string& text) {
    if (KorvelSetText(key.get(), name, text) != ERROR_SUCCESS)
        throw std::runtime_error(std::string("cannot write registry value ") + name);
}

// Writes what the registration tool would write for one appliance.
void RecordAppliance(const std::string& address, const std::string& accessKey) {
    const KorvelRegKey store = CreateKey(kStoreKey);
    SetText(store, "Tracing", "Enabled");
    SetText(store, "LogLevel", "2");
    SetText(CreateKey(StoreEntryKey(address)), "AccessKey", accessKey);
}

std::string Text(KVolume* volume) {
    std::string* id = nullptr;
    std::string name, disp, cg;
    volume->GetVolumeID(id);
    volume->GetVolumeName(name);
    volume->GetVolumeDispName(disp);
    volume->GetCgID(cg);
    return name + " \"" + disp + "\" (volume ID " + *id + ", group " + cg + ")";
}

// Brackets the process's use of the transport.
class Transport {
public:
    Transport() { KAccessLayer::GlobalInit(); }
    ~Transport() { KAccessLayer::GlobalCleanup(); }
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;
};

void Run(std::string address, std::string accessKey, std::string iqn) {
    Transport transport;

    Step("Recording appliance " + address + " in the configuration store at " + getenv("KORVEL_REGISTRY_ROOT"));
    RecordAppliance(address, accessKey);

    KAccessLayer layer;
    Step("Validating the appliance's address and key (as the registration tool does)");
    Require(layer.ValidateArray(address, accessKey), "KAccessLayer::ValidateArray");

    Step("Discovering the configured appliances");
    Require(layer.DiscoverArrays(), "KAccessLayer::DiscoverArrays");
    std::list<KArray*> arrays;
    layer.GetArrays(arrays);
    KArray* array = nullptr;
    for (KArray* candidate : arrays) {
        std::string* ip = nullptr;
        candidate->GetIPAddress(ip);
        Detail("array " + *ip);
        if (*ip == address) array = candidate;
    }
    if (array == nullptr) throw std::runtime_error("the recorded appliance was not discovered");

    Step("Listing the appliance's volumes");
    Korvel::KConnection* connection = nullptr;
    array->GetConnection(connection);
    std::list<Korvel::VolumeInfo> volumes;
    Require(connection->GetVolumesList(&volumes), "KConnection::GetVolumesList");
    for (const auto& v : volumes)
        Detail(v.volName + " \"" + v.volDispName + "\" ieee-id " + v.volID + " group " + v.cgName);
    if (volumes.empty()) throw std::runtime_error("the appliance has no volume to work with");

    std::string volID = volumes.front().volID;
    KVolume* volume = nullptr;
    Step("Looking up volume " + volID + ": the cache first, then the appliance");
    Detail("KArray::GetVolumeByID (cache only) -> " + std::to_string(array->GetVolumeByID(volID, volume)));
    Require(array->GetVolumeByIDFromArray(volID, volume), "KArray::GetVolumeByIDFromArray");
    Detail("found " + Text(volume));
    KVolume* cached = nullptr;
    Require(array->GetVolumeByID(volID, cached), "KArray::GetVolumeByID (now cached)");
    Detail(std::string("same object as the appliance lookup: ") + (cached == volume ? "yes" : "no"));

    Step("Creating a snapshot set for volume " + volID);
    std::string* volIDPtr = nullptr;
    std::string* cgPtr = nullptr;
    volume->GetVolumeID(volIDPtr);
    volume->GetCgIDPtr(cgPtr);
    std::list<std::string*> volIDs{volIDPtr};
    std::list<std::string*> cgIDs{cgPtr};
    std::list<std::string> snapIDs;
    Require(KVolume::CreateSnapshotSet(array, volIDs, cgIDs, &snapIDs), "KVolume::CreateSnapshotSet");
    if (snapIDs.empty()) throw std::runtime_error("the appliance named no snapshot");
    std::string snapID = snapIDs.front();
    Require(volume->AddCreatedSnapshot(snapID), "KVolume::AddCreatedSnapshot");
    std::string latest;
    volume->GetLatestSnapshotID(latest);
    Detail("snapshot " + snapID + ", latest snapshot of the volume: " + latest);
    KVolume* bySnapshot = nullptr;
    Require(array->GetVolumeBySnapID(snapID, bySnapshot), "KArray::GetVolumeBySnapID (cache)");

    std::string cgID;
    volume->GetCgID(cgID);
    Step("Cloning snapshot " + snapID + " of group " + cgID + " into a new volume");
    KVolume* clone = nullptr;
    Require(array->CloneVolume(cgID, snapID, clone), "KArray::CloneVolume");
    Detail("clone " + Text(clone));
    std::string cloneName;
    std::string cloneDispName;
    clone->GetVolumeName(cloneName);
    clone->GetVolumeDispName(cloneDispName);

    Step("Finding or creating the host entry for " + iqn);
    std::string serverID;
    Detail("KArray::GetServerIDByIQN (cache only) -> " + std::to_string(array->GetServerIDByIQN(iqn, serverID)));
    Require(array->GetServerIDByIQNFromArray(iqn, serverID), "KArray::GetServerIDByIQNFromArray");
    Detail("server ID " + serverID);

    Step("Mapping clone " + cloneName + " to host entry " + serverID);
    Require(array->AttachVolume(cloneName, serverID), "KArray::AttachVolume");

    Step("Cleaning up: unmapping and deleting the clone, deleting the snapshot");
    Require(array->DetachVolume(cloneName, serverID), "KArray::DetachVolume");
    Require(array->DeleteVolume(cloneName), "KArray::DeleteVolume");
    KVolume* gone = nullptr;
    Detail("KArray::GetVolumeByDispName " + cloneDispName + " (cache, clone deleted) -> " +
           std::to_string(array->GetVolumeByDispName(cloneDispName, gone)));
    Require(volume->DeleteSnapshot(snapID), "KVolume::DeleteSnapshot");
    Detail("snapshot still cached on the volume: " + std::string(volume->IsSnapAvailable(snapID) == 0 ? "yes" : "no"));

    Step("Releasing the access layer with its arrays, volumes, snapshots and host entries");
}

// The library's own account of the run, as an administrator would read it.
void PrintLog(const std::string& path) {
    std::printf("\nLog lines written by the library (%s, level INFO):\n", path.c_str());
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) std::printf("    %s\n", line.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::string address;
    std::string accessKey;
    std::string iqn = kDefaultIQN;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--array" && hasValue) {
            address = argv[++i];
        } else if (arg == "--access-key" && hasValue) {
            accessKey = argv[++i];
        } else if (arg == "--iqn" && hasValue) {
            iqn = argv[++i];
        } else {
            std::fputs(kUsage, stderr);
            std::fprintf(stderr, "korvel-demo: unexpected argument \"%s\"\n", arg.c_str());
            return 2;
        }
    }
    if (address.empty() != accessKey.empty() || iqn.empty()) {
        std::fputs(kUsage, stderr);
        std::fprintf(stderr, "korvel-demo: --array and --access-key go together\n");
        return 2;
    }

    try {
        TempFolder work;
        // This run's own store, never the machine's.
        const std::string registryRoot = work.Path() + "/registry";
        setenv("KORVEL_REGISTRY_ROOT", registryRoot.c_str(), 1);
        const char* logDir = getenv("KORVEL_LOG_DIR");
        if (logDir == nullptr || *logDir == '\0') {
            setenv("KORVEL_LOG_DIR", work.Path().c_str(), 1);
            logDir = getenv("KORVEL_LOG_DIR");
        }
        const std::string logPath = std::string(logDir) + "/korvel-demo.log";
        Logger::Initialize("korvel-demo.log", KLOG_INFO, true);

        std::unique_ptr<qsta::Simulator> simulator;
        if (address.empty()) {
            simulator = std::make_unique<qsta::Simulator>();
            simulator->Start();
            address = simulator->Address();
            accessKey = simulator->AccessKey();
            std::printf("Started a simulated appliance in this process at %s\n", simulator->Url().c_str());
        } else {
            std::printf("Using the appliance at https://%s\n", address.c_str());
        }
        Run(address, accessKey, iqn);
        Logger::CloseStream();
        PrintLog(logPath);
        std::printf("Done.\n");
    } catch (const std::exception& e) {
        Logger::CloseStream();
        std::fprintf(stderr, "korvel-demo: %s\n", e.what());
        return 1;
    }
    return 0;
}
