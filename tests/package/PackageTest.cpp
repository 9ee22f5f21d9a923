// The Debian package as an administrator meets it, and the installed access
// library as a developer meets it.
//
// The package is built from this tree (scripts/package: CPack and lintian)
// and unpacked with dpkg-deb. Its programs and maintainer scripts then run in
// a private mount namespace where the package's /usr/bin and multiarch
// library folder lie over the system's (overlayfs) and /var/lib, /var/log and
// /run/systemd are empty temporary folders: the programs run as /usr/bin/...
// with the paths an installed package has, and nothing of the machine's own
// store, logs or service manager is touched.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TestEnv.h"
#include "registry.h"

namespace korvel_test {
namespace {

namespace fs = std::filesystem;

const std::string kSource = KORVEL_SOURCE_DIR;
const std::string kBinary = KORVEL_BINARY_DIR;
const std::string kLibDir = KORVEL_LIBDIR;  // lib/x86_64-linux-gnu
const std::string kClsidKey = "CLSID\\{6ABEF83A-7FA0-408C-88FC-98E122AD7280}";
const std::string kAppIdKey = "AppID\\{F03BCDCC-A024-4FDC-A501-213D1966A996}";
const std::string kVssKey =
    "SYSTEM\\CurrentControlSet\\Services\\VSS\\Providers\\{6A111FEB-1EA9-496E-AB0E-B85FF8A42E46}";
const std::string kSettingsKey = "SOFTWARE\\Korvel\\HwProvider";

struct Outcome {
    int exitCode = -1;
    std::string out;
};

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Runs a shell command with standard output and error together, at most
// ten minutes.
Outcome Shell(const std::string& command, const std::string& outputFile) {
    const std::string line = "timeout 600 sh -c " + Quote(command) + " >" + Quote(outputFile) + " 2>&1";
    const int status = std::system(line.c_str());
    Outcome run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadFile(outputFile);
    return run;
}

// Why this machine cannot run the package's programs in a namespace, or "".
std::string MissingForNamespace() {
    if (::geteuid() != 0) return "a mount namespace with overlayfs needs root";
    for (const char* tool : {"unshare", "dpkg-deb", "cpack"})
        if (std::system(("command -v " + std::string(tool) + " >/dev/null 2>&1").c_str()) != 0)
            return std::string(tool) + " is missing";
    TempDir probe;
    fs::create_directories(probe.Path() + "/lower");
    const Outcome run = Shell("unshare -m --propagation private sh -c 'mount -t overlay overlay -o lowerdir=" +
                              probe.Path() + "/lower:/usr/bin /usr/bin'",
                          probe.Path() + "/out");
    if (run.exitCode != 0) return "no mount namespace with overlayfs here: " + run.out;
    return "";
}

// A REG_SZ value of the store under `root`, without its terminating zero;
// "<missing>" when the key or value is not there.
std::string StoreText(HKEY hive, const std::string& path, const char* name) {
    KorvelRegKey key;
    if (RegOpenKeyExA(hive, path.c_str(), 0, KEY_READ, key.out()) != ERROR_SUCCESS) return "<missing>";
    char buffer[1024] = {};
    DWORD size = sizeof buffer - 1, type = REG_NONE;
    if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
        return "<missing>";
    return std::string(buffer, size > 0 && buffer[size - 1] == '\0' ? size - 1 : size);
}

DWORD StoreDword(HKEY hive, const std::string& path, const char* name) {
    KorvelRegKey key;
    DWORD value = 0, size = sizeof value, type = REG_NONE;
    if (RegOpenKeyExA(hive, path.c_str(), 0, KEY_READ, key.out()) != ERROR_SUCCESS) return 0xFFFFFFFFu;
    if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return 0xFFFFFFFFu;
    return value;
}

// Builds a consumer of the access library installed under `prefix`, once
// with CMake's find_package and once with pkg-config, runs both and returns
// what each printed (or the failure).
std::vector<std::string> BuildConsumers(const std::string& prefix, const std::string& work) {
    const std::string libs = prefix + "/" + kLibDir;
    std::vector<std::string> printed;
    Outcome build = Shell("cmake -S " + Quote(kSource + "/tests/package/consumer") + " -B " + Quote(work + "/cmake") +
                          " -DCMAKE_PREFIX_PATH=" + Quote(prefix) + " && cmake --build " + Quote(work + "/cmake"),
                      work + "/cmake-build.out");
    if (build.exitCode != 0) {
        printed.push_back("cmake consumer failed: " + build.out);
    } else {
        const Outcome run = Shell(Quote(work + "/cmake/consumer"), work + "/cmake-run.out");
        printed.push_back(run.exitCode == 0 ? run.out : "cmake consumer did not run: " + run.out);
    }
    build = Shell("export PKG_CONFIG_PATH=" + Quote(libs + "/pkgconfig") + "; c++ -std=c++17 -o " +
                      Quote(work + "/pc-consumer") + " " + Quote(kSource + "/tests/package/consumer/main.cpp") +
                      " $(pkg-config --cflags --libs KorvelAccessLibrary)",
                  work + "/pc-build.out");
    if (build.exitCode != 0) {
        printed.push_back("pkg-config consumer failed: " + build.out);
    } else {
        // Linked with -L alone: the loader is told where the libraries are.
        const Outcome run = Shell("LD_LIBRARY_PATH=" + Quote(libs) + " " + Quote(work + "/pc-consumer"),
                              work + "/pc-run.out");
        printed.push_back(run.exitCode == 0 ? run.out : "pkg-config consumer did not run: " + run.out);
    }
    return printed;
}

const std::string kConsumerOutput = "************cdef 4\n";

class PackageTest : public ::testing::Test {
protected:
    void SetUp() override {
#ifdef KORVEL_SANITIZER_BUILD
        GTEST_SKIP() << "the sanitizer build's programs and libraries need the sanitizer runtime and are not for "
                        "installing: its package would be meaningless (the normal build's run packs and checks)";
#endif
    }

    // Runs `command` in the namespace described above, with the store, logs
    // and unit folder of this test.
    Outcome InPackage(const std::string& command) {
        const std::string& t = m_dir.Path();
        std::string setup = "set -e; mount -t overlay overlay -o lowerdir=" + Quote(m_root + "/usr/bin") +
                            ":/usr/bin /usr/bin; mount -t overlay overlay -o lowerdir=" +
                            Quote(m_root + "/usr/" + kLibDir) + ":/usr/" + kLibDir + " /usr/" + kLibDir +
                            "; mount --bind " + Quote(t + "/var-lib") + " /var/lib; mount --bind " +
                            Quote(t + "/var-log") + " /var/log; if [ -d /run/systemd ]; then mount -t tmpfs " +
                            "none /run/systemd; fi; set +e; ";
        return Shell("unshare -m --propagation private sh -c " + Quote(setup + command), t + "/run.out");
    }

    TempDir m_dir;
    std::string m_root;
};

TEST_F(PackageTest, InstallsTheServiceFromItsOwnFilesAndKeepsTheStoreUntilPurge) {
    const std::string why = MissingForNamespace();
    if (!why.empty()) GTEST_SKIP() << why;
    const std::string& t = m_dir.Path();
    m_root = t + "/root";
    for (const char* folder : {"/var-lib", "/var-log", "/systemd", "/control", "/out"})
        fs::create_directories(t + folder);

    // Built and checked by lintian as scripts/package does it.
    Outcome run = Shell("bash " + Quote(kSource + "/scripts/package") + " " + Quote(kBinary) + " " + Quote(t + "/out"),
                    t + "/package.out");
    ASSERT_EQ(run.exitCode, 0) << run.out;
    const std::string deb = t + "/out/korvel_" + std::string(KORVEL_VERSION) + "_amd64.deb";
    ASSERT_TRUE(fs::exists(deb)) << run.out;
    run = Shell("dpkg-deb -x " + Quote(deb) + " " + Quote(m_root) + " && dpkg-deb -e " + Quote(deb) + " " +
                    Quote(t + "/control") + " && dpkg-deb --field " + Quote(deb) + " Depends",
                t + "/unpack.out");
    ASSERT_EQ(run.exitCode, 0) << run.out;
    // Dependencies from the programs' libraries, as dpkg-shlibdeps found them.
    for (const char* dependency : {"libcurl4", "libxml2", "libsqlite3-0", "libsystemd0", "libqt6widgets6"})
        EXPECT_NE(run.out.find(dependency), std::string::npos) << dependency << " in " << run.out;

    for (const std::string& file : std::vector<std::string>
         {"usr/bin/KorvelProvider", "usr/bin/KorvelShadow", "usr/bin/KorvelRegTool",
          "usr/" + kLibDir + "/libKorvelAccessLibrary.so", "usr/" + kLibDir + "/libLogger.so",
          "usr/" + kLibDir + "/libNodeFacts.so", "usr/include/korvel/KorvelAccessLibrary.h",
          "usr/include/korvel/Logger.h", "usr/include/korvel/NodeFacts.h", "usr/include/korvel/export.h",
          "usr/" + kLibDir + "/cmake/KorvelAccessLibrary/KorvelAccessLibraryConfig.cmake",
          "usr/" + kLibDir + "/pkgconfig/KorvelAccessLibrary.pc", "usr/share/man/man1/KorvelProvider.1.gz",
          "usr/share/man/man1/KorvelShadow.1.gz", "usr/share/doc/korvel/copyright"})
        EXPECT_TRUE(fs::is_regular_file(m_root + "/" + file)) << file;
    // Nothing but the product: no simulator, demo or test program.
    for (const auto& entry : fs::recursive_directory_iterator(m_root)) {
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(name.find("qsta"), std::string::npos) << entry.path();
        EXPECT_EQ(name.find("test"), std::string::npos) << entry.path();
        EXPECT_EQ(name.find("demo"), std::string::npos) << entry.path();
    }
    // Every sample freeze hook the tree has.
    const fs::path hooks = kSource + "/examples/freeze-hook.d";
    if (fs::is_directory(hooks)) {
        for (const auto& entry : fs::recursive_directory_iterator(hooks)) {
            if (!entry.is_regular_file()) continue;
            EXPECT_TRUE(fs::is_regular_file(m_root + "/usr/share/doc/korvel/examples/freeze-hook.d/" +
                                            fs::relative(entry.path(), hooks).string()))
                << entry.path();
        }
    }

    // The man pages come from the programs' own help.
    run = Shell("zcat " + Quote(m_root + "/usr/share/man/man1/KorvelProvider.1.gz"), t + "/man.out");
    EXPECT_NE(run.out.find("UnregServer"), std::string::npos) << run.out;

    // Help prints and touches nothing: no log folder, no store.
    run = InPackage("/usr/bin/KorvelShadow --help && /usr/bin/KorvelProvider --help");
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_NE(run.out.find("expose"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Usage: KorvelProvider [-Service | -UnregServer]"), std::string::npos) << run.out;
    EXPECT_TRUE(fs::is_empty(t + "/var-lib"));
    EXPECT_TRUE(fs::is_empty(t + "/var-log"));

    // Installing: the package's postinst runs KorvelProvider -Service.
    const std::string env = "KORVEL_SYSTEMD_DIR=" + Quote(t + "/systemd") + " ";
    run = InPackage(env + "sh " + Quote(t + "/control/postinst") + " configure");
    ASSERT_EQ(run.exitCode, 0) << run.out;
    SetEnvironment("KORVEL_REGISTRY_ROOT", (t + "/var-lib/korvel/registry").c_str());
    EXPECT_EQ(StoreText(HKEY_CLASSES_ROOT, kAppIdKey, "LocalService"), "KorvelProvider");
    EXPECT_EQ(StoreText(HKEY_CLASSES_ROOT, kClsidKey, nullptr), "KorvelVSSProvider Class");
    EXPECT_EQ(StoreText(HKEY_CLASSES_ROOT, kClsidKey + "\\LocalServer32", nullptr), "\"/usr/bin/KorvelProvider\"");
    EXPECT_EQ(StoreText(HKEY_CLASSES_ROOT, kClsidKey + "\\LocalServer32", "ServerExecutable"),
              "/usr/bin/KorvelProvider");
    EXPECT_EQ(StoreText(HKEY_LOCAL_MACHINE, kVssKey, nullptr), "KorvelVssProvider");
    EXPECT_EQ(StoreDword(HKEY_LOCAL_MACHINE, kVssKey, "Type"), 3u);
    EXPECT_EQ(StoreText(HKEY_LOCAL_MACHINE, kVssKey, "Version"), "1.0.12.29");
    EXPECT_EQ(StoreText(HKEY_LOCAL_MACHINE, kVssKey + "\\CLSID", nullptr), "{6ABEF83A-7FA0-408C-88FC-98E122AD7280}");
    const std::string unitPath = t + "/systemd/KorvelProvider.service";
    const std::string unit = ReadFile(unitPath);
    EXPECT_NE(unit.find("\nExecStart=\"/usr/bin/KorvelProvider\"\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos) << unit;
    EXPECT_TRUE(fs::exists(t + "/var-log/korvel/KorvelVSSProvider.log"));

    // What the administrator added meanwhile: an appliance and a catalogue.
    {
        KorvelRegKey key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (kSettingsKey + "\\192.0.2.7").c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, key.out(), nullptr),
                  ERROR_SUCCESS);
        const char accessKey[] = "0123456789abcdef";
        ASSERT_EQ(RegSetValueExA(key.get(), "AccessKey", 0, REG_SZ, reinterpret_cast<const BYTE*>(accessKey),
                                 sizeof accessKey),
                  ERROR_SUCCESS);
    }
    std::ofstream(t + "/var-lib/korvel/shadows.db") << "catalogue";

    // Upgrading: the old prerm stops, the new postinst registers again; the
    // log folder, the store and the catalogue stay.
    run = InPackage(env + "sh " + Quote(t + "/control/prerm") + " upgrade " + KORVEL_VERSION);
    ASSERT_EQ(run.exitCode, 0) << run.out;
    EXPECT_TRUE(fs::exists(t + "/var-log/korvel/KorvelVSSProvider.log"));
    EXPECT_TRUE(fs::exists(unitPath));
    run = InPackage(env + "sh " + Quote(t + "/control/postinst") + " configure " + KORVEL_VERSION);
    ASSERT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(StoreText(HKEY_LOCAL_MACHINE, kVssKey, nullptr), "KorvelVssProvider");
    EXPECT_EQ(StoreText(HKEY_LOCAL_MACHINE, kSettingsKey + "\\192.0.2.7", "AccessKey"), "0123456789abcdef");
    EXPECT_EQ(ReadFile(t + "/var-lib/korvel/shadows.db"), "catalogue");
    EXPECT_NE(ReadFile(unitPath).find("ExecStart=\"/usr/bin/KorvelProvider\""), std::string::npos);

    // Removing: KorvelProvider -UnregServer takes the registration, the unit
    // and the provider's logs; the store's settings and the catalogue stay.
    run = InPackage(env + "sh " + Quote(t + "/control/prerm") + " remove && sh " + Quote(t + "/control/postrm") +
                    " remove");
    ASSERT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(StoreText(HKEY_CLASSES_ROOT, kClsidKey, nullptr), "<missing>");
    EXPECT_EQ(StoreText(HKEY_LOCAL_MACHINE, kVssKey, nullptr), "<missing>");
    EXPECT_EQ(StoreText(HKEY_CLASSES_ROOT, kAppIdKey, "LocalService"), "<missing>");
    EXPECT_FALSE(fs::exists(unitPath));
    EXPECT_FALSE(fs::exists(t + "/var-log/korvel/KorvelVSSProvider.log"));
    EXPECT_EQ(StoreText(HKEY_LOCAL_MACHINE, kSettingsKey + "\\192.0.2.7", "AccessKey"), "0123456789abcdef");
    EXPECT_EQ(ReadFile(t + "/var-lib/korvel/shadows.db"), "catalogue");

    // Purging: nothing of the product is left.
    run = InPackage(env + "sh " + Quote(t + "/control/postrm") + " purge");
    ASSERT_EQ(run.exitCode, 0) << run.out;
    EXPECT_FALSE(fs::exists(t + "/var-lib/korvel"));
    EXPECT_FALSE(fs::exists(t + "/var-log/korvel"));
    SetEnvironment("KORVEL_REGISTRY_ROOT", nullptr);

    // The package's headers, CMake configuration and pkg-config file serve a consumer.
    fs::create_directories(t + "/consumer");
    for (const std::string& printed : BuildConsumers(m_root + "/usr", t + "/consumer"))
        EXPECT_EQ(printed, kConsumerOutput);
}

TEST_F(PackageTest, ConsumersBuildAgainstTheTreeCmakeInstalls) {
    const std::string& t = m_dir.Path();
    const Outcome run =
        Shell("cmake --install " + Quote(kBinary) + " --prefix " + Quote(t + "/prefix"), t + "/install.out");
    ASSERT_EQ(run.exitCode, 0) << run.out;
    fs::create_directories(t + "/consumer");
    for (const std::string& printed : BuildConsumers(t + "/prefix", t + "/consumer"))
        EXPECT_EQ(printed, kConsumerOutput);
}

}  // namespace
}  // namespace korvel_test
