#include <functional>
#include <string>
#include <vector>

#include "KorvelAccessLibrary.h"
#include "TestEnv.h"
#include "Utilities.h"
#include "registry.h"
#include "registry_internal.h"

using korvel_test::KorvelEnvTest;
using korvel_test::ThrownText;

namespace {

constexpr const char* kStore = "SOFTWARE\\Korvel\\HwProvider";

class ConfigReadersTest : public KorvelEnvTest {
protected:
    // Records an appliance the way the registration tool does. A null key
    // leaves the subkey without "AccessKey".
    void RecordArray(const std::string& name, const char* accessKey) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (std::string(kStore) + "\\" + name).c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        if (accessKey) {
            EXPECT_EQ(RegSetValueExA(key, "AccessKey", 0, REG_SZ, reinterpret_cast<const BYTE*>(accessKey),
                                     static_cast<DWORD>(std::string(accessKey).size() + 1)),
                      ERROR_SUCCESS);
        }
        RegCloseKey(key);
    }
    void CreateStore() {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kStore, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    // The readers, each checked to leave no registry handle open on any path.
    // They return the exception text, or "" when nothing was thrown.
    std::string ListArrays(std::vector<std::string>& ips) {
        return ClosingEveryHandle([&] { EXPECT_EQ(Korvel::Utilities::GetArrayIPList(ips), 0); });
    }
    std::string ReadConfig(std::string name, std::string& value) {
        std::string valueName = "AccessKey";
        return ClosingEveryHandle(
            [&] { EXPECT_EQ(Korvel::Utilities::GetArrayConfigData(name, valueName, value), 0); });
    }
    std::string ReadAccessKey(const std::string& name) {
        std::string value;
        EXPECT_EQ(ReadConfig(name, value), "");
        return value;
    }

private:
    std::string ClosingEveryHandle(const std::function<void()>& reader) {
        const size_t before = RegistryOpenHandleCount();
        std::string thrown = ThrownText<Korvel::KException>(reader);
        EXPECT_EQ(RegistryOpenHandleCount(), before) << "a reader left a registry handle open";
        return thrown == "<no exception>" ? "" : thrown;
    }
};

TEST_F(ConfigReadersTest, ListWithoutSubkeysIsEmptyAndSaysSo) {
    CreateStore();
    std::vector<std::string> ips;
    EXPECT_EQ(ListArrays(ips), "");
    EXPECT_TRUE(ips.empty());
    EXPECT_EQ(CountLog(2, "No Subkeys found"), 1u);
    EXPECT_EQ(CountLog(3, "Entering Utilities::GetArrayIPList()"), 1u);
    EXPECT_EQ(CountLog(3, "Exiting Utilities::GetArrayIPList() with return code 0"), 1u);
}

TEST_F(ConfigReadersTest, ListFailsWhenTheStoreIsMissing) {
    std::vector<std::string> ips;
    EXPECT_EQ(ListArrays(ips), "Failed to open registry key");
    EXPECT_EQ(CountLog(0, "Failed to open registry key"), 1u);
    EXPECT_EQ(CountLogContaining("Exiting Utilities::GetArrayIPList"), 0u);
}

TEST_F(ConfigReadersTest, ListAppendsNamesInEnumerationOrder) {
    RecordArray("array-b.lab", "k1");
    RecordArray("10.0.0.2", "k2");
    RecordArray("10.0.0.10", "k3");
    std::vector<std::string> ips = {"already-there"};
    EXPECT_EQ(ListArrays(ips), "");
    EXPECT_EQ(ips, (std::vector<std::string>{"already-there", "10.0.0.10", "10.0.0.2", "array-b.lab"}));
    EXPECT_EQ(CountLog(2, "No Subkeys found"), 0u);
}

TEST_F(ConfigReadersTest, ReadsTheAccessKeyOfAnAppliance) {
    RecordArray("10.0.0.2", "s3cr3t-key");
    EXPECT_EQ(ReadAccessKey("10.0.0.2"), "s3cr3t-key");
    EXPECT_EQ(CountLog(3, "Entering Utilities::GetArrayConfigData()"), 1u);
    EXPECT_EQ(CountLog(3, "Exiting Utilities::GetArrayConfigData() with return code 0"), 1u);
    EXPECT_EQ(CountLogContaining("s3cr3t-key"), 0u);
}

TEST_F(ConfigReadersTest, MissingAccessKeyIsAReadFailure) {
    RecordArray("10.0.0.3", nullptr);
    std::string value = "untouched";
    EXPECT_EQ(ReadConfig("10.0.0.3", value), "Failed to get config value from registry");
    EXPECT_EQ(value, "untouched");
    EXPECT_EQ(CountLog(0, "Failed to get config value from registry"), 1u);
}

TEST_F(ConfigReadersTest, MissingApplianceSubkeyFailsToOpen) {
    CreateStore();
    std::string value;
    EXPECT_EQ(ReadConfig("10.9.9.9", value), "Failed to open registry key");
    EXPECT_EQ(CountLog(0, "Failed to open registry key"), 1u);
}

TEST_F(ConfigReadersTest, AccessKeyOf255CharactersIsReadWholeAnd256Fails) {
    const std::string fits(255, 'k');
    const std::string tooLong(256, 'k');
    RecordArray("fits", fits.c_str());
    RecordArray("too-long", tooLong.c_str());
    EXPECT_EQ(ReadAccessKey("fits"), fits);
    std::string value;
    EXPECT_EQ(ReadConfig("too-long", value), "Failed to get config value from registry");
}

TEST_F(ConfigReadersTest, ValueFillingTheBufferWithoutTerminatorIsNotOverrun) {
    RecordArray("raw", nullptr);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kStore) + "\\raw").c_str(), 0, KEY_SET_VALUE, &key),
              ERROR_SUCCESS);
    const std::string raw(256, 'r');
    ASSERT_EQ(RegSetValueExA(key, "AccessKey", 0, REG_BINARY, reinterpret_cast<const BYTE*>(raw.data()), 256),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(ReadAccessKey("raw"), raw);
}

TEST_F(ConfigReadersTest, LongApplianceNamesAreReadInFull) {
    // Names up to the registry's 255 characters work: the subkey path is not
    // squeezed into a fixed buffer.
    const std::string name(250, 'h');
    RecordArray(name, "key-of-long-name");
    std::vector<std::string> ips;
    EXPECT_EQ(ListArrays(ips), "");
    ASSERT_EQ(ips.size(), 1u);
    EXPECT_EQ(ips[0], name);
    EXPECT_EQ(ReadAccessKey(name), "key-of-long-name");
}

}  // namespace
