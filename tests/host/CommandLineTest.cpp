// The program's command line, its log configuration, and what "-Service" and
// "-UnregServer" record and remove: registry values, the unit file, the log.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <climits>
#include <filesystem>
#include <fstream>

#include "HostEnv.h"
#include "KorvelProviderHost.h"
#include "vssadmin.h"

namespace korvel_test {
namespace {

const std::string kClsidKey = "CLSID\\{6ABEF83A-7FA0-408C-88FC-98E122AD7280}";
const std::string kTypeLibKey = "TypeLib\\{D859C6C2-E6CA-4E51-8C83-E56EF02B6718}";
const std::string kAppIdKey = "AppID\\{F03BCDCC-A024-4FDC-A501-213D1966A996}";
const std::string kVssKey =
    "SYSTEM\\CurrentControlSet\\Services\\VSS\\Providers\\{6A111FEB-1EA9-496E-AB0E-B85FF8A42E46}";
const std::string kEventKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KorvelProvider";

void SetSetting(const char* name, const std::string& bytes, DWORD type = REG_SZ) {
    KorvelRegKey key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\HwProvider", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, key.out(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key.get(), name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
}

TEST(CommandLine, SwitchesAreWholeWordsAfterEitherIntroducerInAnyCase) {
    EXPECT_EQ(FindSwitch(""), KorvelSwitch::None);
    EXPECT_EQ(FindSwitch("Service"), KorvelSwitch::None);  // no introducer
    EXPECT_EQ(FindSwitch("-Service"), KorvelSwitch::Service);
    EXPECT_EQ(FindSwitch("/service"), KorvelSwitch::Service);
    EXPECT_EQ(FindSwitch("-SERVICE"), KorvelSwitch::Service);
    EXPECT_EQ(FindSwitch("/UnregServer"), KorvelSwitch::UnregServer);
    EXPECT_EQ(FindSwitch("-unregserver"), KorvelSwitch::UnregServer);
    EXPECT_EQ(FindSwitch("-Services"), KorvelSwitch::None);      // longer word
    EXPECT_EQ(FindSwitch("-Servic"), KorvelSwitch::None);        // shorter word
    EXPECT_EQ(FindSwitch("-RegServer"), KorvelSwitch::None);     // no such switch
    EXPECT_EQ(FindSwitch("-Service/x"), KorvelSwitch::None);     // the word runs on past "Service"
    EXPECT_EQ(FindSwitch("-verbose -Service"), KorvelSwitch::Service);
    EXPECT_EQ(FindSwitch("--Service"), KorvelSwitch::Service);   // the second introducer starts the word
    EXPECT_EQ(FindSwitch("x-Service\ty"), KorvelSwitch::Service);
    EXPECT_EQ(FindSwitch("-UnregServer -Service"), KorvelSwitch::UnregServer);  // the first switch counts
    EXPECT_EQ(FindSwitch("-Service -UnregServer"), KorvelSwitch::Service);
    EXPECT_EQ(FindSwitch("/usr/Service"), KorvelSwitch::Service);  // an introducer inside a word
    EXPECT_EQ(FindSwitch("-"), KorvelSwitch::None);
}

class LogConfigTest : public KorvelEnvTest {};

TEST_F(LogConfigTest, DefaultsExactComparisonAndDecimalLevel) {
    KorvelLogConfig config = GetLogConfig();  // no key at all
    EXPECT_TRUE(config.tracing);
    EXPECT_EQ(config.level, KLOG_INFO);

    SetSetting("Tracing", Text("enabled"));
    SetSetting("LogLevel", Text("4"));
    config = GetLogConfig();
    EXPECT_FALSE(config.tracing);
    EXPECT_EQ(config.level, KLOG_TRACE);

    SetSetting("Tracing", Text("Enabled"));
    EXPECT_TRUE(GetLogConfig().tracing);
    SetSetting("Tracing", "Enabled");  // stored without its zero: the zeroed buffer supplies it
    EXPECT_TRUE(GetLogConfig().tracing);
    SetSetting("Tracing", Text("Enable"));
    EXPECT_FALSE(GetLogConfig().tracing);
    SetSetting("Tracing", Text("Enabled2"));
    EXPECT_FALSE(GetLogConfig().tracing);

    SetSetting("LogLevel", Text("3 trailing"));
    EXPECT_EQ(GetLogConfig().level, KLOG_DEBUG);
    SetSetting("LogLevel", Text("debug"));
    EXPECT_EQ(GetLogConfig().level, KLOG_ERROR);
    // 256 digits and no terminator: read as a number that is clamped, never past the buffer.
    SetSetting("LogLevel", std::string(256, '9'));
    EXPECT_EQ(GetLogConfig().level, INT_MAX);
    SetSetting("LogLevel", std::string(300, '1'));  // larger than the buffer: the default stays
    EXPECT_EQ(GetLogConfig().level, KLOG_INFO);
}

class RegistrationTest : public HostTest {};

TEST_F(RegistrationTest, ServiceRecordsEverythingAndUnregServerRemovesIt) {
    ProgramRun run = RunProvider({"-Service"});
    ASSERT_EQ(run.exitCode, 0) << run.stderrText;
    EXPECT_EQ(run.stderrText, "");
    const std::string program = KORVEL_PROVIDER_PROGRAM;

    // AppID and its service.
    RegValue v = ReadRegValue(HKEY_CLASSES_ROOT, kAppIdKey, "LocalService");
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(v.bytes, Text("KorvelProvider"));
    // The class.
    v = ReadRegValue(HKEY_CLASSES_ROOT, kClsidKey, nullptr);
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(v.bytes, Text("KorvelVSSProvider Class"));
    v = ReadRegValue(HKEY_CLASSES_ROOT, kClsidKey + "\\LocalServer32", nullptr);
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(v.bytes, Text("\"" + program + "\""));
    v = ReadRegValue(HKEY_CLASSES_ROOT, kClsidKey + "\\LocalServer32", "ServerExecutable");
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(v.bytes, Text(program));
    EXPECT_EQ(ReadRegValue(HKEY_CLASSES_ROOT, kClsidKey + "\\TypeLib", nullptr).bytes,
              Text("{D859C6C2-E6CA-4E51-8C83-E56EF02B6718}"));
    EXPECT_EQ(ReadRegValue(HKEY_CLASSES_ROOT, kClsidKey + "\\Version", nullptr).bytes, Text("1.0"));
    // The type library.
    EXPECT_EQ(ReadRegValue(HKEY_CLASSES_ROOT, kTypeLibKey + "\\1.0", nullptr).bytes, Text("KorvelProviderLib"));
    EXPECT_EQ(ReadRegValue(HKEY_CLASSES_ROOT, kTypeLibKey + "\\1.0\\0\\win64", nullptr).bytes, Text(program));
    EXPECT_EQ(ReadRegValue(HKEY_CLASSES_ROOT, kTypeLibKey + "\\1.0\\FLAGS", nullptr).bytes, Text("0"));
    // The shadow copy service's provider record.
    v = ReadRegValue(HKEY_LOCAL_MACHINE, kVssKey, nullptr);
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(v.bytes, Text("KorvelVssProvider"));
    v = ReadRegValue(HKEY_LOCAL_MACHINE, kVssKey, "Type");
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(v.bytes, Dword(3));
    v = ReadRegValue(HKEY_LOCAL_MACHINE, kVssKey, "Version");
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(v.bytes, Text("1.0.12.29"));
    v = ReadRegValue(HKEY_LOCAL_MACHINE, kVssKey, "VersionId");
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(v.bytes, Text("{6B1AC3CC-9C80-402F-BD56-0C1485009072}"));
    v = ReadRegValue(HKEY_LOCAL_MACHINE, kVssKey + "\\CLSID", nullptr);
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(v.bytes, Text("{6ABEF83A-7FA0-408C-88FC-98E122AD7280}"));
    // The event source.
    for (const char* name : {"EventMessageFile", "CategoryMessageFile", "ParameterMessageFile"}) {
        v = ReadRegValue(HKEY_LOCAL_MACHINE, kEventKey, name);
        EXPECT_EQ(v.type, static_cast<DWORD>(REG_EXPAND_SZ)) << name;
        EXPECT_EQ(v.bytes, Text("%SystemRoot%\\System32\\EventTexts.dll")) << name;
    }
    v = ReadRegValue(HKEY_LOCAL_MACHINE, kEventKey, "TypesSupported");
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(v.bytes, Dword(7));
    v = ReadRegValue(HKEY_LOCAL_MACHINE, kEventKey, "CategoryCount");
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(v.bytes, Dword(2));

    // The unit, and the systemd steps skipped where systemd does not read it.
    EXPECT_EQ(ReadFile(UnitDir() + "/KorvelProvider.service"),
              "[Unit]\n"
              "Description=VSS Hardware Provider for Korvel Quellstore\n"
              "After=network.target\n"
              "\n"
              "[Service]\n"
              "Type=notify\n"
              "ExecStart=\"" + program + "\"\n"
              "Restart=on-failure\n"
              "\n"
              "[Install]\n"
              "WantedBy=multi-user.target\n");
    for (const char* step : {"\"systemctl daemon-reload\"", "\"systemctl enable KorvelProvider.service\"",
                             "\"systemctl start KorvelProvider.service\""})
        EXPECT_GE(CountServerLog(std::string(": skipped ") + step), 1u) << step;
    EXPECT_EQ(CountServerLog("Registration return code: 0"), 1u);
    EXPECT_EQ(CountServerLog("Entering ParseCommandLine()"), 0u);  // level 3, above the default

    // Again: the service is replaced, the provider was already registered.
    run = RunProvider({"/SERVICE"});
    EXPECT_EQ(run.exitCode, 0) << run.stderrText;
    EXPECT_EQ(run.stderrText, "");  // stopping a service that is not running is not reported
    EXPECT_EQ(CountServerLog("Registration return code: 80042303"), 1u);
    EXPECT_TRUE(std::filesystem::exists(UnitDir() + "/KorvelProvider.service"));

    run = RunProvider({"-UnregServer"});
    EXPECT_EQ(run.exitCode, 0) << run.stderrText;
    EXPECT_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, kClsidKey));
    EXPECT_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, kTypeLibKey));
    EXPECT_TRUE(RegKeyExists(HKEY_CLASSES_ROOT, kAppIdKey));  // the AppID script adds nothing to remove
    EXPECT_FALSE(ReadRegValue(HKEY_CLASSES_ROOT, kAppIdKey, "LocalService").found);
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, kVssKey));
    EXPECT_FALSE(std::filesystem::exists(UnitDir() + "/KorvelProvider.service"));
    // The log folder holds the test's own log too: the provider's files go, the folder stays.
    EXPECT_FALSE(std::filesystem::exists(LogDir() + "/KorvelVSSProvider.log"));
    EXPECT_TRUE(std::filesystem::exists(LogPath()));
}

TEST_F(RegistrationTest, UnregServerWithoutAnInstalledServiceStillUnregistersTheProvider) {
    // Only the provider record, as another installation might have left it.
    IVssAdmin* admin = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_VSSCoordinator, nullptr, CLSCTX_LOCAL_SERVER, IID_IVssAdmin,
                               reinterpret_cast<void**>(&admin)),
              S_OK);
    WCHAR name[] = u"KorvelVssProvider", version[] = u"1.0.12.29";
    ASSERT_EQ(admin->RegisterProvider(KORVEL_VSS_PROVIDER_ID, CLSID_KorvelVSSProvider, name, VSS_PROV_HARDWARE,
                                      version, KORVEL_VSS_PROVIDER_VERSION_ID),
              S_OK);
    admin->Release();
    Logger::EventLog(1, 1, 0x12345678, "%s", "an event, so the events file exists");

    ProgramRun run = RunProvider({"-UnregServer"});
    EXPECT_EQ(run.exitCode, 0) << run.stderrText;
    EXPECT_EQ(run.stderrText, "");
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, kVssKey));
    EXPECT_FALSE(std::filesystem::exists(LogDir() + "/KorvelVSSProvider.log"));
    EXPECT_FALSE(std::filesystem::exists(LogDir() + "/KorvelProvider.events.log"));
}

TEST_F(RegistrationTest, ServiceManagerFailureIsShownAndStopsTheRegistration) {
    // The unit folder cannot be made: a file stands where its parent should be.
    std::ofstream(UnitDir()) << "not a folder";
    setenv("KORVEL_SYSTEMD_DIR", (UnitDir() + "/sub").c_str(), 1);
    ProgramRun run = RunProvider({"-Service"});
    EXPECT_EQ(run.exitCode, static_cast<int>(static_cast<unsigned>(E_FAIL) & 0xFF));
    EXPECT_EQ(run.stderrText, "KorvelProvider: Could not open Service Manager\n");
    EXPECT_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, kClsidKey));
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, kVssKey));
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, kEventKey));
    // Nor is removing it a success: whether a service is installed is not known.
    run = RunProvider({"-UnregServer"});
    EXPECT_EQ(run.exitCode, static_cast<int>(static_cast<unsigned>(E_FAIL) & 0xFF));
    EXPECT_EQ(run.stderrText, "KorvelProvider: Could not open Service Manager\n");
}

TEST_F(RegistrationTest, AServiceThatCannotBeDeletedIsShownAndKeepsItsUnit) {
    ASSERT_EQ(RunProvider({"-Service"}).exitCode, 0);
    const std::string unit = UnitDir() + "/KorvelProvider.service";
    if (std::system(("chattr +i '" + unit + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "chattr +i is not permitted here (needs root and a filesystem that has it)";
    ProgramRun run = RunProvider({"-UnregServer"});
    std::system(("chattr -i '" + unit + "'").c_str());
    EXPECT_EQ(run.exitCode, static_cast<int>(static_cast<unsigned>(E_FAIL) & 0xFF));
    EXPECT_EQ(run.stderrText, "KorvelProvider: Could not delete service\n");
    EXPECT_TRUE(std::filesystem::exists(unit));
    EXPECT_TRUE(ReadRegValue(HKEY_CLASSES_ROOT, kAppIdKey, "LocalService").found);
}

TEST_F(RegistrationTest, TracingSettingsReachTheProgramsLog) {
    SetSetting("LogLevel", Text("4"));
    ASSERT_EQ(RunProvider({"-Service"}).exitCode, 0);
    EXPECT_EQ(CountServerLog("Entering ParseCommandLine()"), 1u);
    EXPECT_EQ(CountServerLog("Exiting ParseCommandLine()"), 1u);

    std::filesystem::remove(LogDir() + "/KorvelVSSProvider.log");
    SetSetting("Tracing", Text("enabled"));
    ASSERT_EQ(RunProvider({"-Service"}).exitCode, 0);
    EXPECT_FALSE(std::filesystem::exists(LogDir() + "/KorvelVSSProvider.log"));
    EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, kVssKey));  // the work is done, only unlogged
}

}  // namespace
}  // namespace korvel_test
