// The registration tool's registry operations against a real store in the
// test's own folder, and a simulator where an appliance must answer.
#include <qsta/Simulator.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "KorvelAccessLibrary.h"
#include "RegToolEnv.h"
#include "RegistryOperations.h"

using namespace korvel_test;

namespace {

class RegistryOperationsTest : public KorvelEnvTest {
protected:
    std::vector<std::string> Names() {
        std::vector<std::string> names;
        GetKorvelArrayNames(names);
        return names;
    }
    // The folder that holds the store key's values, as the registry lays it out.
    std::string StoreFolder() const { return RegistryRoot() + "/HKEY_LOCAL_MACHINE/SOFTWARE/Korvel/HwProvider"; }
};

TEST_F(RegistryOperationsTest, AddingRecordsAnEntryOnceAndLogsItsKeyMasked) {
    EXPECT_FALSE(KeyExists(StoreKey()));
    EXPECT_EQ(0, AddKorvelArray("10.1.1.1", "secret-access-key-1234"));  // creates the store too
    EXPECT_EQ("secret-access-key-1234", ReadText(EntryKey("10.1.1.1"), "AccessKey"));
    EXPECT_EQ(1u, CountLog(3, "Entering AddKorvelArray() with Parameters: KorvelArray IP: 10.1.1.1, AccessKey: "
                              "******************1234"));
    EXPECT_EQ(1u, CountLog(3, "Exiting AddKorvelArray()"));

    // The same address again: refused, nothing written, no exit line.
    EXPECT_EQ(8, AddKorvelArray("10.1.1.1", "another-key-5678"));
    EXPECT_EQ("secret-access-key-1234", ReadText(EntryKey("10.1.1.1"), "AccessKey"));
    EXPECT_EQ(1u, CountLog(3, "Exiting AddKorvelArray()"));

    // Names are compared byte for byte: another letter case is another appliance.
    EXPECT_EQ(0, AddKorvelArray("Host-A", "abcd1234"));
    EXPECT_EQ(0, AddKorvelArray("host-a", "abcd1234"));
    EXPECT_EQ(1u, CountLog(3, "Entering AddKorvelArray() with Parameters: KorvelArray IP: host-a, AccessKey: ********"));
    EXPECT_EQ(0u, CountLogContaining("secret-access-key"));
    EXPECT_EQ(0u, CountLogContaining("abcd1234"));

    // A name that is not one key name would write into the store key or below another entry.
    EXPECT_EQ(7, AddKorvelArray("", "key-for-nothing"));
    EXPECT_EQ(7, AddKorvelArray("10.1.1.1\\sub", "key-for-nothing"));
    EXPECT_EQ((std::vector<std::string>{"10.1.1.1", "Host-A", "host-a"}), Names());
    EXPECT_FALSE(ReadText(StoreKey(), "AccessKey"));
}

TEST_F(RegistryOperationsTest, ListingNamesReportsAMissingOrEmptyStore) {
    std::vector<std::string> names{"kept"};
    EXPECT_EQ(11, GetKorvelArrayNames(names));
    CreateKey(StoreKey());
    EXPECT_EQ(11, GetKorvelArrayNames(names));
    EXPECT_EQ(std::vector<std::string>{"kept"}, names);
    WriteText(EntryKey("10.2.0.1"), "AccessKey", "k");
    EXPECT_EQ(0, GetKorvelArrayNames(names));
    EXPECT_EQ((std::vector<std::string>{"kept", "10.2.0.1"}), names);  // appended to
    EXPECT_EQ(3u, CountLog(3, "Entering GetKorvelArrayNames()"));
    EXPECT_EQ(3u, CountLog(3, "Exiting GetKorvelArrayNames()"));
}

TEST_F(RegistryOperationsTest, RenamingMovesTheKeyAndNeverLosesTheAppliance) {
    WriteText(EntryKey("10.0.0.1"), "AccessKey", "key-one-abcdefgh");
    EXPECT_EQ(0, UpdateKorvelArrayName("10.0.0.1", "10.0.0.2"));
    EXPECT_FALSE(KeyExists(EntryKey("10.0.0.1")));
    EXPECT_EQ("key-one-abcdefgh", ReadText(EntryKey("10.0.0.2"), "AccessKey"));
    EXPECT_EQ((std::vector<std::string>{"Entering UpdateKorvelArrayName(), with parameters Old KorvelArray Name: "
                                        "10.0.0.1, New KorvelArray Name: 10.0.0.2",
                                        "Entering GetValue()", "Entering SetValue()", "Exiting SetValue()",
                                        "Entering GetValue()", "Exiting UpdateKorvelArrayName()"}),
              LogMessages());

    // A new name the store cannot hold: the old entry keeps its key, and no
    // part of the new one is left.
    const std::string tooLong(300, 'n');
    EXPECT_EQ(7, UpdateKorvelArrayName("10.0.0.2", tooLong));
    EXPECT_EQ(7, UpdateKorvelArrayName("10.0.0.2", "10.0.0.3\\nested"));
    EXPECT_EQ("key-one-abcdefgh", ReadText(EntryKey("10.0.0.2"), "AccessKey"));
    EXPECT_EQ(std::vector<std::string>{"10.0.0.2"}, Names());

    // Renaming to its own name changes nothing.
    EXPECT_EQ(0, UpdateKorvelArrayName("10.0.0.2", "10.0.0.2"));
    EXPECT_EQ("key-one-abcdefgh", ReadText(EntryKey("10.0.0.2"), "AccessKey"));

    // Onto an existing entry: that entry takes the moved key, and not its old pin.
    WriteText(EntryKey("10.0.0.3"), "AccessKey", "key-three");
    WriteText(EntryKey("10.0.0.3"), "CertificatePin", "pin-three");
    EXPECT_EQ(0, UpdateKorvelArrayName("10.0.0.2", "10.0.0.3"));
    EXPECT_EQ("key-one-abcdefgh", ReadText(EntryKey("10.0.0.3"), "AccessKey"));
    EXPECT_FALSE(ReadText(EntryKey("10.0.0.3"), "CertificatePin"));
    EXPECT_EQ(std::vector<std::string>{"10.0.0.3"}, Names());

    // An old entry the store cannot delete (a key below it): 4, the old entry
    // keeps its key, a new entry goes again and an existing one keeps its own
    // key and pin (another appliance's configuration).
    CreateKey(EntryKey("10.0.0.4") + "\\child");
    WriteText(EntryKey("10.0.0.4"), "AccessKey", "key-four");
    WriteText(EntryKey("10.0.0.4"), "CertificatePin", "pin-four");
    WriteText(EntryKey("10.0.0.3"), "CertificatePin", "pin-three");
    EXPECT_EQ(4, UpdateKorvelArrayName("10.0.0.4", "10.0.0.5"));
    EXPECT_EQ(4, UpdateKorvelArrayName("10.0.0.4", "10.0.0.3"));
    EXPECT_EQ("key-four", ReadText(EntryKey("10.0.0.4"), "AccessKey"));
    EXPECT_EQ("key-one-abcdefgh", ReadText(EntryKey("10.0.0.3"), "AccessKey"));
    EXPECT_EQ("pin-three", ReadText(EntryKey("10.0.0.3"), "CertificatePin"));
    EXPECT_EQ((std::vector<std::string>{"10.0.0.3", "10.0.0.4"}), Names());

    // No entry: 11 without the exit line. No key: 6, and the entry stays.
    const size_t exits = CountLog(3, "Exiting UpdateKorvelArrayName()");
    EXPECT_EQ(11, UpdateKorvelArrayName("10.9.9.9", "10.9.9.8"));
    EXPECT_EQ(exits, CountLog(3, "Exiting UpdateKorvelArrayName()"));
    CreateKey(EntryKey("10.0.0.9"));
    EXPECT_EQ(6, UpdateKorvelArrayName("10.0.0.9", "10.0.0.8"));
    EXPECT_EQ((std::vector<std::string>{"10.0.0.3", "10.0.0.4", "10.0.0.9"}), Names());
}

TEST_F(RegistryOperationsTest, CertificatePinIsRecordedWithTheKeyAndMovesWithTheEntry) {
    const std::string pin = "sha256//" + std::string(43, 'Q') + "=";
    EXPECT_EQ(0, AddKorvelArray("10.5.0.1", "key-five", pin));
    EXPECT_EQ(pin, ReadText(EntryKey("10.5.0.1"), "CertificatePin"));
    EXPECT_EQ(0, AddKorvelArray("10.5.0.2", "key-unpinned"));
    EXPECT_FALSE(ReadText(EntryKey("10.5.0.2"), "CertificatePin"));  // an entry as they were before pinning

    // A new key with the certificate it was checked against; a new key alone keeps the pin.
    const std::string newPin = "sha256//" + std::string(42, 'R') + "0=";
    EXPECT_EQ(0, UpdateKorvelArrayKey("10.5.0.1", "key-five-b", newPin));
    EXPECT_EQ(newPin, ReadText(EntryKey("10.5.0.1"), "CertificatePin"));
    EXPECT_EQ(0, UpdateKorvelArrayKey("10.5.0.1", "key-five-c"));
    EXPECT_EQ(newPin, ReadText(EntryKey("10.5.0.1"), "CertificatePin"));
    EXPECT_EQ("key-five-c", ReadText(EntryKey("10.5.0.1"), "AccessKey"));

    // Renamed, the entry keeps its key and its pin; an unpinned one stays unpinned.
    EXPECT_EQ(0, UpdateKorvelArrayName("10.5.0.1", "10.5.0.9"));
    EXPECT_EQ(newPin, ReadText(EntryKey("10.5.0.9"), "CertificatePin"));
    EXPECT_EQ("key-five-c", ReadText(EntryKey("10.5.0.9"), "AccessKey"));
    EXPECT_EQ(0, UpdateKorvelArrayName("10.5.0.2", "10.5.0.8"));
    EXPECT_FALSE(ReadText(EntryKey("10.5.0.8"), "CertificatePin"));
}

TEST_F(RegistryOperationsTest, ReKeyingAndRemovingAnEntry) {
    EXPECT_EQ(11, UpdateKorvelArrayKey("10.3.0.1", "first-key"));
    EXPECT_EQ(1u, CountLog(3, "Exiting UpdateKorvelArrayURL()"));  // also after a failure
    WriteText(StoreKey(), "Tracing", "Enabled");
    WriteText(EntryKey("10.3.0.1"), "AccessKey", "old-key");
    EXPECT_EQ(0, UpdateKorvelArrayKey("10.3.0.1", "new-key-0000wxyz"));
    EXPECT_EQ("new-key-0000wxyz", ReadText(EntryKey("10.3.0.1"), "AccessKey"));
    EXPECT_EQ(1u, CountLog(3, "Entering UpdateKorvelArrayKey(), with parameters KorvelArray IP: 10.3.0.1, "
                              "KorvelArray URL: ************wxyz"));
    EXPECT_EQ(0u, CountLogContaining("new-key-0000"));

    EXPECT_EQ(0, RemoveKorvelArray("10.3.0.1"));
    EXPECT_FALSE(KeyExists(EntryKey("10.3.0.1")));
    EXPECT_EQ(11, RemoveKorvelArray("10.3.0.1"));
    // An entry the store refuses to delete (it has a key below it) stays.
    CreateKey(EntryKey("10.3.0.2") + "\\child");
    EXPECT_EQ(4, RemoveKorvelArray("10.3.0.2"));
    EXPECT_TRUE(KeyExists(EntryKey("10.3.0.2")));
    // Neither an empty name nor a path reaches the store key or a key below an entry.
    EXPECT_EQ(11, RemoveKorvelArray(""));
    EXPECT_EQ(11, UpdateKorvelArrayKey("", "k"));
    EXPECT_EQ(11, RemoveKorvelArray("10.3.0.2\\child"));
    EXPECT_TRUE(KeyExists(EntryKey("10.3.0.2") + "\\child"));
    EXPECT_EQ("Enabled", ReadText(StoreKey(), "Tracing"));
    EXPECT_EQ(5u, CountLog(3, "Exiting RemoveKorvelArray()"));
}

TEST_F(RegistryOperationsTest, TracingSettingsAndTheirDefaults) {
    std::string tracing = "before", level;
    EXPECT_EQ(11, GetTracing(tracing));
    EXPECT_EQ(1u, CountLog(3, "Entering GetTracing() with parameter Trace Option: before"));
    EXPECT_EQ(11, GetLogLevel(level));
    EXPECT_EQ(11, SetTracing("Enabled", "3"));

    EXPECT_EQ(0, InitRegistryDefaults());
    EXPECT_EQ(0, GetTracing(tracing));
    EXPECT_EQ("Enabled", tracing);
    EXPECT_EQ(0, GetLogLevel(level));
    EXPECT_EQ("2", level);

    // Tracing off leaves the level as it was; tracing on writes both.
    EXPECT_EQ(0, SetTracing("Disabled", "3"));
    EXPECT_EQ("Disabled", ReadText(StoreKey(), "Tracing"));
    EXPECT_EQ("2", ReadText(StoreKey(), "LogLevel"));
    EXPECT_EQ(0, SetTracing("Enabled", "4"));
    EXPECT_EQ("4", ReadText(StoreKey(), "LogLevel"));
    EXPECT_EQ(1u, CountLog(3, "Entering SetTracing() with parameter Trace Option: Enabled, LogLevel: 4"));

    // Defaults fill in only what is missing.
    EXPECT_EQ(0, SetTracing("Disabled", ""));
    HKEY store = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, StoreKey().c_str(), 0, KEY_ALL_ACCESS, &store));
    RegDeleteValueA(store, "LogLevel");
    RegCloseKey(store);
    EXPECT_EQ(3, GetLogLevel(level));
    EXPECT_EQ(0, InitRegistryDefaults());
    EXPECT_EQ("Disabled", ReadText(StoreKey(), "Tracing"));
    EXPECT_EQ("2", ReadText(StoreKey(), "LogLevel"));
}

TEST_F(RegistryOperationsTest, StoreFailuresGiveTheirCodes) {
    // A store whose values cannot be read or written.
    CreateKey(StoreKey());
    std::filesystem::remove(StoreFolder() + "/.values");
    std::filesystem::create_directory(StoreFolder() + "/.values");
    std::string tracing;
    EXPECT_EQ(3, GetTracing(tracing));
    EXPECT_EQ(5, InitRegistryDefaults());
    EXPECT_EQ(5, SetTracing("Disabled", "2"));
    EXPECT_EQ(5, SetTracing("Enabled", "2"));

    // A store that cannot even be made: its creation reports nothing.
    const std::string blocker = LogDir() + "/not-a-folder";
    std::filesystem::create_directories(LogDir());
    std::ofstream(blocker) << "x";
    setenv("KORVEL_REGISTRY_ROOT", blocker.c_str(), 1);
    EXPECT_EQ(0, InitRegistryDefaults());
    EXPECT_EQ(11, GetTracing(tracing));
    EXPECT_EQ(7, AddKorvelArray("10.4.0.1", "key"));
}

TEST_F(RegistryOperationsTest, MessageLookupLogsTheCodeAsUnsigned) {
    EXPECT_EQ("Error : General Failure", GetErrorMsg(-1));
    EXPECT_EQ(1u, CountLog(3, "Entering GetErrorMsg() with parameters ReturnCode: 4294967295"));
}

// ---- Checks that reach an appliance ------------------------------------------

class LiveCheckTest : public RegistryOperationsTest {
protected:
    void SetUp() override {
        RegistryOperationsTest::SetUp();
        m_sim.Start();
        Korvel::KAccessLayer::GlobalInit();
    }
    void TearDown() override {
        Korvel::KAccessLayer::GlobalCleanup();
        m_sim.Stop();
        RegistryOperationsTest::TearDown();
    }
    qsta::Simulator m_sim;
};

TEST_F(LiveCheckTest, ValidatingAccessAsksTheAppliance) {
    EXPECT_EQ(0, ValidateArrayAccess(m_sim.Address(), m_sim.AccessKey()));
    EXPECT_NE(0, ValidateArrayAccess(m_sim.Address(), "wrong-key"));
    EXPECT_EQ(1, ValidateArrayAccess(m_sim.Address(), ""));
    EXPECT_EQ(1u, CountLog(0, "KAccessLayer::ValidateArray - Invalid input"));
}

TEST_F(LiveCheckTest, ConfigInfoReportsEachEntryWithALiveCheck) {
    std::vector<ArrayConfigInfo> records;
    EXPECT_EQ(11, GetArrayConfigInfo(records, ""));
    EXPECT_TRUE(records.empty());
    SKIP_WITHOUT_ICMP();

    const std::string port = std::to_string(m_sim.Port());
    WriteText(EntryKey(m_sim.Address()), "AccessKey", m_sim.AccessKey());
    WriteText(EntryKey("127.0.0.1:1"), "AccessKey", m_sim.AccessKey());  // answers echoes, not HTTPS
    WriteText(EntryKey("localhost:" + port), "AccessKey", "refused-key");
    CreateKey(EntryKey("zz-without-key"));  // enumerated last

    EXPECT_EQ(6, GetArrayConfigInfo(records, ""));
    std::map<std::string, std::pair<std::string, std::string>> seen;
    for (const auto& r : records) seen[r.ip] = {r.accessKey, r.online};
    EXPECT_EQ((std::map<std::string, std::pair<std::string, std::string>>{
                  {m_sim.Address(), {m_sim.AccessKey(), "yes"}},
                  {"127.0.0.1:1", {m_sim.AccessKey(), "no"}},
                  {"localhost:" + port, {"refused-key", "no"}},
              }),
              seen);
    EXPECT_EQ(0u, CountLogContaining(m_sim.AccessKey()));

    // A filter names one entry exactly; one that matches nothing reports nothing.
    records.clear();
    EXPECT_EQ(0, GetArrayConfigInfo(records, m_sim.Address()));
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("yes", records[0].online);
    records.clear();
    EXPECT_EQ(0, GetArrayConfigInfo(records, "127.0.0"));
    EXPECT_TRUE(records.empty());
}

TEST_F(LiveCheckTest, CertificatePinAndOnlineOnlyWithTheRecordedCertificate) {
    std::string pin;
    EXPECT_EQ(0, GetCertificatePin(m_sim.Address(), pin));
    EXPECT_EQ(Korvel::KAccessLayer::GetCertificatePin(m_sim.Address()), pin);
    EXPECT_EQ(0u, m_sim.JournalSize());  // reading the certificate sends no request
    std::string none;
    EXPECT_EQ(14, GetCertificatePin("127.0.0.1:1", none));
    EXPECT_EQ(2u, CountLog(0, "Cannot read the certificate of 127.0.0.1:1"));  // by the library, then the tool

    // The key goes only to the holder of the certificate named.
    const std::string otherPin = "sha256//" + std::string(43, 'Z') + "=";
    EXPECT_EQ(0, ValidateArrayAccess(m_sim.Address(), m_sim.AccessKey(), pin));
    EXPECT_EQ(1, ValidateArrayAccess(m_sim.Address(), m_sim.AccessKey(), otherPin));
    EXPECT_EQ(1u, m_sim.JournalSize());

    SKIP_WITHOUT_ICMP();
    WriteText(EntryKey(m_sim.Address()), "AccessKey", m_sim.AccessKey());
    WriteText(EntryKey(m_sim.Address()), "CertificatePin", otherPin);
    std::vector<ArrayConfigInfo> records;
    EXPECT_EQ(0, GetArrayConfigInfo(records, m_sim.Address()));
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("no", records[0].online);  // as the provider would find it: refused
    EXPECT_EQ(otherPin, records[0].certificatePin);
    WriteText(EntryKey(m_sim.Address()), "CertificatePin", pin);
    records.clear();
    EXPECT_EQ(0, GetArrayConfigInfo(records, m_sim.Address()));
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("yes", records[0].online);
    EXPECT_EQ(pin, records[0].certificatePin);
    EXPECT_EQ(0u, CountLogContaining(m_sim.AccessKey()));
}

TEST_F(RegistryOperationsTest, ReachabilityIsOneEchoToTheHost) {
    SKIP_WITHOUT_ICMP();
    const auto openFiles = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
    const auto before = openFiles();
    EXPECT_TRUE(IsArrayExists("127.0.0.1"));
    EXPECT_TRUE(IsArrayExists("127.0.0.1:8443"));  // the host behind a port
    EXPECT_TRUE(IsArrayExists("localhost"));
    EXPECT_EQ(before, openFiles());  // each check closes its socket
    EXPECT_EQ(1u, CountLog(3, "IP Address 1: 16777343"));  // 127.0.0.1 in network order
    EXPECT_EQ(3u, CountLog(3, "Exiting IsArrayExists() Result: 1"));

    // A name with no IPv4 address answers no at once.
    EXPECT_FALSE(IsArrayExists("no-such-appliance..invalid"));
    EXPECT_FALSE(IsArrayExists("[::1]:443"));
    EXPECT_EQ(1u, CountLog(3, "No IPv4 address for no-such-appliance..invalid"));
    EXPECT_EQ(1u, CountLog(3, "No IPv4 address for [::1]:443"));
    EXPECT_EQ(2u, CountLog(3, "Exiting IsArrayExists() Result: 0"));

    // An address that does not answer: no after the echo's time-out.
    std::string result = RunInPrivateNetwork({{"icmp_echo_ignore_all", "1"}}, [] {
        const auto start = std::chrono::steady_clock::now();
        const bool answered = IsArrayExists("127.0.0.1");
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        if (answered) return std::string("a silent address counted as present");
        if (waited < 1000 || waited > 10000) return "gave up after " + std::to_string(waited) + " ms";
        return std::string();
    });
    if (result.rfind("SKIP: ", 0) == 0) GTEST_SKIP() << result.substr(6);
    EXPECT_EQ("", result);
}

}  // namespace
