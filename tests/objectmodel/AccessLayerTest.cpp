// Turning the configuration store into arrays, keeping the list current, and
// validating an appliance before it is recorded.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>

#include "Logger.h"
#include "ObjectModelEnv.h"

using Korvel::KAccessLayer;
using Korvel::KArray;
using Korvel::KException;
using Korvel::KVolume;

namespace korvel_test {
namespace {

class AccessLayerTest : public ObjectModelTest {
protected:
    // A second appliance with a key of its own and one volume only it has.
    std::unique_ptr<qsta::Simulator> StartOther(const std::string& key, const std::string& volumeDisplayName) {
        qsta::Options options;
        options.accessKey = key;
        options.defaultSeed = false;
        auto sim = std::make_unique<qsta::Simulator>(options);
        sim->AddVolume(volumeDisplayName);
        sim->Start();
        return sim;
    }

    static std::vector<std::string> Addresses(KAccessLayer& layer) {
        std::list<KArray*> arrays;
        EXPECT_EQ(0, layer.GetArrays(arrays));
        std::vector<std::string> out;
        for (KArray* array : arrays) {
            std::string* ip = nullptr;
            array->GetIPAddress(ip);
            out.push_back(*ip);
        }
        return out;
    }

    static KArray* ArrayAt(KAccessLayer& layer, size_t index) {
        std::list<KArray*> arrays;
        layer.GetArrays(arrays);
        auto it = arrays.begin();
        std::advance(it, index);
        return *it;
    }

    // Proves an array reaches its own appliance with the key it was given.
    static int FindByDisplayName(KArray* array, const std::string& displayName) {
        std::string name = displayName;
        KVolume* volume = nullptr;
        return array->GetVolumeByDispNameFromArray(name, volume);
    }
};

std::string LocalhostAddress(const qsta::Simulator& sim) { return "localhost:" + std::to_string(sim.Port()); }

// --- Discovery --------------------------------------------------------------

TEST_F(AccessLayerTest, NewAccessLayerStartsEmptyAndReadsNothing) {
    RecordAppliance(Address(), Key());
    KAccessLayer layer;
    EXPECT_TRUE(Addresses(layer).empty());
    EXPECT_EQ(1u, CountLog(3, "Entering KAccessLayer::KAccessLayer()"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KAccessLayer::KAccessLayer()"));
    EXPECT_EQ(0u, CountLogContaining("Utilities::"));
}

TEST_F(AccessLayerTest, DiscoversTwoAppliancesInEnumerationOrder) {
    auto other = StartOther("second-appliance-key-7731", "only-on-second");
    // Recorded in the opposite order: the store enumerates names sorted.
    RecordAppliance(LocalhostAddress(*other), "second-appliance-key-7731");
    RecordAppliance(Address(), Key());

    KAccessLayer layer;
    EXPECT_EQ(0, layer.DiscoverArrays());
    EXPECT_EQ((std::vector<std::string>{Address(), LocalhostAddress(*other)}), Addresses(layer));
    EXPECT_EQ(1u, CountLog(3, "Entering KAccessLayer::DiscoverArrays()"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KAccessLayer::DiscoverArrays()"));

    // Each array talks to its own appliance with its own key.
    EXPECT_EQ(0, FindByDisplayName(ArrayAt(layer, 0), "sqldata"));
    EXPECT_EQ(0, FindByDisplayName(ArrayAt(layer, 1), "only-on-second"));
    EXPECT_EQ(2, FindByDisplayName(ArrayAt(layer, 0), "only-on-second"));
    EXPECT_EQ("second-appliance-key-7731", other->Journal().front().Header("X-Access-Key"));
}

TEST_F(AccessLayerTest, DiscoveryLogsEachApplianceWithItsKeyMasked) {
    auto other = StartOther("second-appliance-key-7731", "only-on-second");
    RecordAppliance(Address(), Key());
    RecordAppliance(LocalhostAddress(*other), "second-appliance-key-7731");
    RecordAppliance("192.0.2.50", "k3y-8chr");  // short keys are hidden whole

    KAccessLayer layer;
    ASSERT_EQ(0, layer.DiscoverArrays());
    EXPECT_EQ(1u, CountLog(2, "Array IP: " + Address() + " AccessKey: " + Masked(Key())));
    EXPECT_EQ(1u, CountLog(2, "Array IP: " + LocalhostAddress(*other) + " AccessKey: *********************7731"));
    EXPECT_EQ(1u, CountLog(2, "Array IP: 192.0.2.50 AccessKey: ********"));
    // Use the arrays, so every line that could carry a key is written.
    // (Enumeration order: 127.0.0.1, 192.0.2.50, localhost.)
    EXPECT_EQ(0, FindByDisplayName(ArrayAt(layer, 0), "sqldata"));
    EXPECT_EQ(0, FindByDisplayName(ArrayAt(layer, 2), "only-on-second"));
    EXPECT_EQ(0u, CountLogContaining(Key()));
    EXPECT_EQ(0u, CountLogContaining("second-appliance-key-7731"));
    EXPECT_EQ(0u, CountLogContaining("k3y-8chr"));
}

TEST_F(AccessLayerTest, StoreWithoutAppliancesGivesAnEmptyList) {
    CreateStoreKey();
    KAccessLayer layer;
    EXPECT_EQ(0, layer.DiscoverArrays());
    EXPECT_TRUE(Addresses(layer).empty());
    EXPECT_EQ(1u, CountLog(2, "No Subkeys found"));
}

TEST_F(AccessLayerTest, MissingStoreEndsDiscoveryWithOne) {
    KAccessLayer layer;
    EXPECT_EQ(1, layer.DiscoverArrays());
    EXPECT_TRUE(Addresses(layer).empty());
    // Once by the reader, once by the access layer.
    EXPECT_EQ(2u, CountLog(0, "Failed to open registry key"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KAccessLayer::DiscoverArrays()"));
}

TEST_F(AccessLayerTest, FirstOfThreeWithoutAccessKeyStopsDiscoveryBeforeAnyArray) {
    RecordApplianceWithoutKey("192.0.2.1");
    RecordAppliance("192.0.2.2", "appliance-two-key");
    RecordAppliance("192.0.2.3", "appliance-three-key");
    KAccessLayer layer;
    EXPECT_EQ(1, layer.DiscoverArrays());
    EXPECT_TRUE(Addresses(layer).empty());
    EXPECT_EQ(2u, CountLog(0, "Failed to get config value from registry"));
    EXPECT_EQ(0u, CountLogContaining("Array IP: "));
}

TEST_F(AccessLayerTest, SecondOfThreeWithoutAccessKeyKeepsTheFirstArray) {
    RecordAppliance("192.0.2.1", "appliance-one-key");
    RecordApplianceWithoutKey("192.0.2.2");
    RecordAppliance("192.0.2.3", "appliance-three-key");
    KAccessLayer layer;
    EXPECT_EQ(1, layer.DiscoverArrays());
    EXPECT_EQ(std::vector<std::string>{"192.0.2.1"}, Addresses(layer));
    EXPECT_EQ(2u, CountLog(0, "Failed to get config value from registry"));
    EXPECT_EQ(0u, CountLogContaining("192.0.2.3"));
}

TEST_F(AccessLayerTest, EmptyAccessKeyStopsDiscovery) {
    RecordAppliance("192.0.2.1", "appliance-one-key");
    RecordAppliance("192.0.2.2", "");
    RecordAppliance("192.0.2.3", "appliance-three-key");
    KAccessLayer layer;
    EXPECT_EQ(1, layer.DiscoverArrays());
    EXPECT_EQ(std::vector<std::string>{"192.0.2.1"}, Addresses(layer));
    EXPECT_EQ(1u, CountLog(0, "KArray Constructor: Invalid input argument"));
}

// --- Refresh ----------------------------------------------------------------

TEST_F(AccessLayerTest, RefreshAddsAnApplianceRecordedLaterOnce) {
    auto second = StartOther("second-appliance-key-7731", "only-on-second");
    auto third = StartOther("third-appliance-key-0042", "only-on-third");
    RecordAppliance(Address(), Key());
    RecordAppliance(LocalhostAddress(*second), "second-appliance-key-7731");
    KAccessLayer layer;
    ASSERT_EQ(0, layer.DiscoverArrays());
    KArray* firstArray = ArrayAt(layer, 0);
    KArray* secondArray = ArrayAt(layer, 1);

    RecordAppliance("LOCALHOST:" + std::to_string(third->Port()), "third-appliance-key-0042");
    EXPECT_EQ(0, layer.Refresh());
    EXPECT_EQ((std::vector<std::string>{Address(), LocalhostAddress(*second), "LOCALHOST:" + std::to_string(third->Port())}),
              Addresses(layer));
    EXPECT_EQ(firstArray, ArrayAt(layer, 0));
    EXPECT_EQ(secondArray, ArrayAt(layer, 1));
    EXPECT_EQ(1u, CountLog(2, "New arrayIP found in the registry"));
    EXPECT_EQ(1u, CountLog(2, "Array IP: LOCALHOST:" + std::to_string(third->Port()) +
                                  " AccessKey: ********************0042"));
    EXPECT_EQ(1u, CountLog(3, "Entering KAccessLayer::Refresh()"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KAccessLayer::Refresh()"));
    EXPECT_EQ(0, FindByDisplayName(ArrayAt(layer, 2), "only-on-third"));

    EXPECT_EQ(0, layer.Refresh());
    EXPECT_EQ(3u, Addresses(layer).size());
    EXPECT_EQ(1u, CountLog(2, "New arrayIP found in the registry"));
}

TEST_F(AccessLayerTest, RefreshKeepsAnApplianceRemovedFromTheStore) {
    RecordAppliance("192.0.2.1", "appliance-one-key");
    RecordAppliance("192.0.2.2", "appliance-two-key");
    KAccessLayer layer;
    ASSERT_EQ(0, layer.DiscoverArrays());
    RemoveAppliance("192.0.2.1");
    EXPECT_EQ(0, layer.Refresh());
    EXPECT_EQ((std::vector<std::string>{"192.0.2.1", "192.0.2.2"}), Addresses(layer));
    EXPECT_EQ(0u, CountLog(2, "New arrayIP found in the registry"));
}

TEST_F(AccessLayerTest, RefreshKeepsTheKeyAnApplianceWasDiscoveredWith) {
    RecordAppliance(Address(), Key());
    KAccessLayer layer;
    ASSERT_EQ(0, layer.DiscoverArrays());
    RecordAppliance(Address(), "rotated-key-000000001");
    EXPECT_EQ(0, layer.Refresh());
    EXPECT_EQ(std::vector<std::string>{Address()}, Addresses(layer));
    EXPECT_EQ(0u, CountLog(2, "New arrayIP found in the registry"));
    // The known name is skipped before its key is read.
    EXPECT_EQ(1u, CountLog(3, "Entering Utilities::GetArrayConfigData()"));

    Sim().ClearJournal();
    EXPECT_EQ(0, FindByDisplayName(ArrayAt(layer, 0), "sqldata"));
    EXPECT_EQ(Key(), Sim().Journal().front().Header("X-Access-Key"));
}

TEST_F(AccessLayerTest, RefreshComparesNamesCaseSensitively) {
    RecordAppliance("appliance-a.example", "appliance-a-key");
    KAccessLayer layer;
    ASSERT_EQ(0, layer.DiscoverArrays());
    RecordAppliance("APPLIANCE-A.example", "appliance-a-key");
    EXPECT_EQ(0, layer.Refresh());
    EXPECT_EQ((std::vector<std::string>{"appliance-a.example", "APPLIANCE-A.example"}), Addresses(layer));
}

TEST_F(AccessLayerTest, RefreshStoppedByAnApplianceWithoutKeyKeepsEarlierAdditions) {
    RecordAppliance("192.0.2.1", "appliance-one-key");
    KAccessLayer layer;
    ASSERT_EQ(0, layer.DiscoverArrays());
    RecordAppliance("192.0.2.2", "appliance-two-key");
    RecordApplianceWithoutKey("192.0.2.3");
    RecordAppliance("192.0.2.4", "appliance-four-key");
    EXPECT_EQ(1, layer.Refresh());
    EXPECT_EQ((std::vector<std::string>{"192.0.2.1", "192.0.2.2"}), Addresses(layer));
    EXPECT_EQ(2u, CountLog(2, "New arrayIP found in the registry"));
    EXPECT_EQ(2u, CountLog(0, "Failed to get config value from registry"));
}

// --- Handing out the list ---------------------------------------------------

TEST_F(AccessLayerTest, GetArraysReplacesWhatTheCallersListHeld) {
    RecordAppliance("192.0.2.1", "appliance-one-key");
    RecordAppliance("192.0.2.2", "appliance-two-key");
    KAccessLayer layer;
    ASSERT_EQ(0, layer.DiscoverArrays());
    std::string ip = "192.0.2.99", key = "unrelated-key-1234";
    KArray unrelated(ip, key);
    std::list<KArray*> arrays{&unrelated, &unrelated, nullptr};

    EXPECT_EQ(0, layer.GetArrays(arrays));
    ASSERT_EQ(2u, arrays.size());
    EXPECT_EQ(ArrayAt(layer, 0), arrays.front());
    EXPECT_EQ(ArrayAt(layer, 1), arrays.back());
    EXPECT_EQ(arrays.end(), std::find(arrays.begin(), arrays.end(), &unrelated));
}

TEST_F(AccessLayerTest, DestroyingTheAccessLayerDestroysItsArraysInOrder) {
    RecordAppliance("192.0.2.1", "appliance-one-key");
    RecordAppliance("192.0.2.2", "appliance-two-key");
    {
        KAccessLayer layer;
        ASSERT_EQ(0, layer.DiscoverArrays());
        Logger::Write(KLOG_DEBUG, "test", "mark");
    }
    auto messages = LogMessages();
    auto mark = std::find(messages.begin(), messages.end(), "mark");
    ASSERT_NE(messages.end(), mark);
    std::vector<std::string> outline;
    for (auto it = std::next(mark); it != messages.end(); ++it)
        if (it->find("KAccessLayer::~") != std::string::npos || it->find("KArray::~") != std::string::npos)
            outline.push_back(*it);
    EXPECT_EQ((std::vector<std::string>{"Entering KAccessLayer::~KAccessLayer()", "Entering KArray::~KArray() for 192.0.2.1",
                                        "Exiting KArray::~KArray()", "Entering KArray::~KArray() for 192.0.2.2",
                                        "Exiting KArray::~KArray()", "Exiting KAccessLayer::~KAccessLayer()"}),
              outline);
}

// --- Transport and validation -----------------------------------------------

TEST_F(AccessLayerTest, GlobalInitAndCleanupWrapTheTransportsOwnLines) {
    // The fixture started the transport; end and start it once more here.
    KAccessLayer::GlobalCleanup();
    KAccessLayer::GlobalInit();
    auto messages = LogMessages();
    auto at = [&](const std::string& text) { return std::find(messages.begin(), messages.end(), text) - messages.begin(); };
    EXPECT_EQ(2u, CountLog(3, "Entering KAccessLayer::GlobalInit()"));
    EXPECT_EQ(1u, CountLog(3, "Entering KAccessLayer::GlobalCleanup()"));
    EXPECT_LT(at("Entering KAccessLayer::GlobalCleanup()"), at("Entering KConnection::GlobalCleanup"));
    EXPECT_LT(at("Exiting KConnection::GlobalCleanup"), at("Exiting KAccessLayer::GlobalCleanup()"));
    EXPECT_LT(at("Entering KAccessLayer::GlobalInit()"), at("Entering KConnection::GlobalInit"));
    EXPECT_LT(at("Exiting KConnection::GlobalInit"), at("Exiting KAccessLayer::GlobalInit()"));
}

TEST_F(AccessLayerTest, ValidateArrayChecksTheApplianceWithoutKeepingIt) {
    KAccessLayer layer;
    std::string address = Address(), key = Key();
    EXPECT_EQ(0, layer.ValidateArray(address, key));
    EXPECT_EQ(std::vector<std::string>{"GET /api/drives"}, RequestLines());
    EXPECT_TRUE(Addresses(layer).empty());
}

TEST_F(AccessLayerTest, ValidateArrayRejectsEmptyInputBeforeAnyRequest) {
    KAccessLayer layer;
    std::string address = Address(), key = Key(), empty;
    EXPECT_EQ("KAccessLayer::ValidateArray - Invalid input", ThrownText<std::invalid_argument>([&] { layer.ValidateArray(address, empty); }));
    EXPECT_EQ("KAccessLayer::ValidateArray - Invalid input", ThrownText<std::invalid_argument>([&] { layer.ValidateArray(empty, key); }));
    EXPECT_EQ(0u, Sim().JournalSize());
}

TEST_F(AccessLayerTest, ValidateArrayPassesTheConnectionsFailuresOn) {
    KAccessLayer layer;
    std::string address = Address(), wrongKey = "not-the-appliance-key";
    EXPECT_THROW(layer.ValidateArray(address, wrongKey), KException);
    Sim().AddFault(qsta::Fault::WithoutElement("GET", "/api/drives"));
    std::string key = Key();
    EXPECT_EQ(1, layer.ValidateArray(address, key));
    EXPECT_TRUE(Addresses(layer).empty());
}

}  // namespace
}  // namespace korvel_test
