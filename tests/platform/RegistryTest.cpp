#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TestEnv.h"
#include "registry.h"

using korvel_test::KorvelEnvTest;
using korvel_test::ReadFile;

namespace {

constexpr const char* kBase = "SOFTWARE\\Korvel\\HwProvider";

class RegistryTest : public KorvelEnvTest {
protected:
    HKEY Create(const std::string& path, REGSAM access = KEY_ALL_ACCESS) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, access, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        return key;
    }
    static LONG SetBytes(HKEY key, const char* name, DWORD type, const std::string& bytes) {
        return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                              static_cast<DWORD>(bytes.size()));
    }
    static LONG Get(HKEY key, const char* name, DWORD& type, std::string& bytes) {
        DWORD size = 0;
        LONG rc = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
        if (rc != ERROR_SUCCESS) return rc;
        bytes.assign(size, '\0');
        rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(bytes.data()), &size);
        bytes.resize(size);
        return rc;
    }
    std::vector<std::string> Enumerate(HKEY key) {
        std::vector<std::string> names;
        for (DWORD i = 0;; ++i) {
            char name[256];
            DWORD len = sizeof name;
            LONG rc = RegEnumKeyExA(key, i, name, &len, nullptr, nullptr, nullptr, nullptr);
            if (rc == ERROR_NO_MORE_ITEMS) break;
            EXPECT_EQ(rc, ERROR_SUCCESS);
            if (rc != ERROR_SUCCESS) break;
            names.emplace_back(name, len);
        }
        return names;
    }
    std::string KeyDir(const std::string& escapedRelative) const {
        return RegistryRoot() + "/HKEY_LOCAL_MACHINE/" + escapedRelative;
    }
    // Creates kBase and replaces its ".values" with `text`, as an editor would.
    void HandWriteValues(const std::string& text) {
        RegCloseKey(Create(kBase));
        std::ofstream(KeyDir("SOFTWARE/Korvel/HwProvider/.values"), std::ios::binary) << text;
    }
};

TEST_F(RegistryTest, ValuesRoundTripExactBytesAndType) {
    HKEY key = Create(kBase);
    const std::string sz("Enabled\0", 8);
    const std::string embedded("a\0b\0", 4);
    const std::string nonAscii("Gr\xc3\xbc\xc3\x9f" "e \"q\" \\ \x01\n\0", 16);
    const std::string expand("%SystemRoot%\\x\0", 15);
    const std::string dword("\x07\x00\x00\x00", 4);
    const std::string binary("\x00\xff\x10", 3);
    ASSERT_EQ(SetBytes(key, "Tracing", REG_SZ, sz), ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(key, "Embedded", REG_SZ, embedded), ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(key, "NonAscii", REG_SZ, nonAscii), ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(key, "Expand", REG_EXPAND_SZ, expand), ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(key, "TypesSupported", REG_DWORD, dword), ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(key, "Blob", REG_BINARY, binary), ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(key, "Unterminated", REG_SZ, "abc"), ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(key, "", REG_SZ, std::string("default\0", 8)), ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(key, "Weird \"name\" \\ here", REG_SZ, std::string("v\0", 2)), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    // Read back through a fresh handle, so nothing comes from memory.
    HKEY reader = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBase, 0, KEY_READ, &reader), ERROR_SUCCESS);
    struct Expect { const char* name; DWORD type; std::string bytes; };
    for (const Expect& e : {Expect{"Tracing", REG_SZ, sz}, Expect{"Embedded", REG_SZ, embedded},
                            Expect{"NonAscii", REG_SZ, nonAscii}, Expect{"Expand", REG_EXPAND_SZ, expand},
                            Expect{"TypesSupported", REG_DWORD, dword}, Expect{"Blob", REG_BINARY, binary},
                            Expect{"Unterminated", REG_SZ, "abc"}, Expect{"", REG_SZ, std::string("default\0", 8)},
                            Expect{"Weird \"name\" \\ here", REG_SZ, std::string("v\0", 2)}}) {
        DWORD type = 0;
        std::string bytes;
        ASSERT_EQ(Get(reader, e.name, type, bytes), ERROR_SUCCESS) << e.name;
        EXPECT_EQ(type, e.type) << e.name;
        EXPECT_EQ(bytes, e.bytes) << e.name;
    }
    RegCloseKey(reader);

    // The file reads like a registry export.
    std::string file = ReadFile(KeyDir("SOFTWARE/Korvel/HwProvider/.values"));
    EXPECT_EQ(file.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
    EXPECT_NE(file.find("\n\"Tracing\"=\"Enabled\"\n"), std::string::npos);
    EXPECT_NE(file.find("\n\"TypesSupported\"=dword:00000007\n"), std::string::npos);
    EXPECT_NE(file.find("\n\"Expand\"=hex(2):25,"), std::string::npos);
    EXPECT_NE(file.find("\n\"Blob\"=hex:00,ff,10\n"), std::string::npos);
    EXPECT_NE(file.find("\n\"NonAscii\"=hex(1):47,72,c3,bc,"), std::string::npos);  // the file stays ASCII
    EXPECT_NE(file.find("\n@=\"default\"\n"), std::string::npos);
}

TEST_F(RegistryTest, OverwriteKeepsOtherValuesAndDeleteValueRemovesOne) {
    HKEY key = Create(kBase);
    ASSERT_EQ(SetBytes(key, "Tracing", REG_SZ, std::string("Enabled\0", 8)), ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(key, "LogLevel", REG_SZ, std::string("2\0", 2)), ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(key, "Tracing", REG_SZ, std::string("Disabled\0", 9)), ERROR_SUCCESS);
    DWORD type = 0;
    std::string bytes;
    ASSERT_EQ(Get(key, "Tracing", type, bytes), ERROR_SUCCESS);
    EXPECT_EQ(bytes, std::string("Disabled\0", 9));
    ASSERT_EQ(RegDeleteValueA(key, "Tracing"), ERROR_SUCCESS);
    EXPECT_EQ(Get(key, "Tracing", type, bytes), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(key, "Tracing"), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(Get(key, "LogLevel", type, bytes), ERROR_SUCCESS);
    EXPECT_EQ(bytes, std::string("2\0", 2));
    RegCloseKey(key);
}

TEST_F(RegistryTest, SmallBufferGivesMoreDataWithTheNeededSize) {
    HKEY key = Create(kBase);
    ASSERT_EQ(SetBytes(key, "AccessKey", REG_SZ, std::string("0123456789\0", 11)), ERROR_SUCCESS);
    BYTE buffer[8];
    DWORD size = sizeof buffer;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "AccessKey", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 11u);
    size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "AccessKey", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 11u);
    BYTE exact[11];
    size = sizeof exact;
    EXPECT_EQ(RegQueryValueExA(key, "AccessKey", nullptr, nullptr, exact, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(exact), size), std::string("0123456789\0", 11));
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, exact, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(RegistryTest, SubkeysEnumerateInWindowsOrder) {
    HKEY base = Create(kBase);
    for (const char* name : {"b", "_x", "a", "C", "A", "10.0.0.2", "10.0.0.10", "Ab", "aa"}) {
        HKEY sub = nullptr;
        ASSERT_EQ(RegCreateKeyExA(base, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr), ERROR_SUCCESS);
        RegCloseKey(sub);
    }
    EXPECT_EQ(Enumerate(base), (std::vector<std::string>{"10.0.0.10", "10.0.0.2", "A", "a", "aa", "Ab", "b", "C",
                                                         "_x"}));
    DWORD count = 0, maxLen = 0;
    ASSERT_EQ(RegQueryInfoKeyA(base, nullptr, nullptr, nullptr, &count, &maxLen, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(count, 9u);
    EXPECT_EQ(maxLen, 9u);

    // "10.0.0.10" has 9 characters: a buffer of 9 leaves no room for the
    // terminator, and nothing may be written past it.
    char exact[9 + 4];
    std::memset(exact, '#', sizeof exact);
    DWORD len = 9;
    EXPECT_EQ(RegEnumKeyExA(base, 0, exact, &len, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    EXPECT_EQ(std::string(exact + 9, 4), "####");
    len = 10;
    EXPECT_EQ(RegEnumKeyExA(base, 0, exact, &len, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::string(exact, len), "10.0.0.10");
    EXPECT_EQ(std::string(exact + 10, 3), "###");
    len = sizeof exact;
    EXPECT_EQ(RegEnumKeyExA(base, 9, exact, &len, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    RegCloseKey(base);
}

TEST_F(RegistryTest, HandleOpenedReadOnlyRefusesWrites) {
    HKEY writer = Create(kBase);
    ASSERT_EQ(SetBytes(writer, "Tracing", REG_SZ, std::string("Enabled\0", 8)), ERROR_SUCCESS);
    RegCloseKey(writer);

    HKEY reader = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBase, 0, KEY_READ, &reader), ERROR_SUCCESS);
    EXPECT_EQ(SetBytes(reader, "Tracing", REG_SZ, std::string("Disabled\0", 9)), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(reader, "Tracing"), ERROR_ACCESS_DENIED);
    HKEY child = nullptr;
    EXPECT_EQ(RegCreateKeyExA(reader, "new", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
              ERROR_ACCESS_DENIED);
    RegCloseKey(reader);

    HKEY queryOnly = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBase, 0, KEY_QUERY_VALUE, &queryOnly), ERROR_SUCCESS);
    char name[16];
    DWORD len = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(queryOnly, 0, name, &len, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
    DWORD type = 0;
    std::string bytes;
    ASSERT_EQ(Get(queryOnly, "Tracing", type, bytes), ERROR_SUCCESS);
    EXPECT_EQ(bytes, std::string("Enabled\0", 8));
    RegCloseKey(queryOnly);
}

TEST_F(RegistryTest, OpenCreateCloseAndDeleteFollowWindowsRules) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBase, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);

    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kBase, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    HKEY again = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kBase, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &again,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    RegCloseKey(again);
    EXPECT_EQ(RegCloseKey(again), ERROR_INVALID_HANDLE);

    HKEY child = nullptr;
    ASSERT_EQ(RegCreateKeyExA(key, "10.1.1.1\\inner", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(child);
    ASSERT_EQ(RegOpenKeyA(key, "10.1.1.1", &child), ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(child, "AccessKey", REG_SZ, std::string("kept\0", 5)), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(key, "10.1.1.1"), ERROR_ACCESS_DENIED);
    // The refusal removed nothing: the key and its values are still there.
    DWORD type = 0;
    std::string bytes;
    EXPECT_EQ(Get(child, "AccessKey", type, bytes), ERROR_SUCCESS);
    EXPECT_EQ(bytes, std::string("kept\0", 5));
    RegCloseKey(child);
    EXPECT_EQ(RegDeleteKeyA(key, "10.1.1.1\\inner"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(key, "10.1.1.1"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(key, "10.1.1.1"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(key, "10.1.1.1", 0, KEY_READ, &child), ERROR_FILE_NOT_FOUND);

    // A handle to a key that was deleted under it refuses further use.
    HKEY doomed = nullptr, doomedHandle = nullptr;
    ASSERT_EQ(RegCreateKeyExA(key, "doomed", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &doomed, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyA(key, "doomed", &doomedHandle), ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(doomed, "AccessKey", REG_SZ, std::string("k\0", 2)), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(key, "doomed"), ERROR_SUCCESS);
    EXPECT_EQ(SetBytes(doomedHandle, "AccessKey", REG_SZ, std::string("k\0", 2)), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteValueA(doomedHandle, "AccessKey"), ERROR_KEY_DELETED);
    EXPECT_FALSE(std::filesystem::exists(KeyDir("SOFTWARE/Korvel/HwProvider/doomed")));
    RegCloseKey(doomed);
    RegCloseKey(doomedHandle);
    EXPECT_EQ(RegOpenKeyExA(key, "bad\\\\path", 0, KEY_READ, &child), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExA(key, std::string(256, 'n').c_str(), 0, KEY_READ, &child), ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
}

TEST_F(RegistryTest, NamesWithSlashPercentAndLeadingDotRoundTrip) {
    HKEY base = Create(kBase);
    const std::vector<std::string> names = {"%41", ".values", "..", "10.0.0.1/24", "50%", "a.b"};
    for (const auto& n : names) {
        HKEY sub = nullptr;
        ASSERT_EQ(RegCreateKeyExA(base, n.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
                  ERROR_SUCCESS)
            << n;
        ASSERT_EQ(SetBytes(sub, "AccessKey", REG_SZ, n + '\0'), ERROR_SUCCESS) << n;
        RegCloseKey(sub);
    }
    EXPECT_EQ(Enumerate(base), (std::vector<std::string>{"%41", "..", ".values", "10.0.0.1/24", "50%", "a.b"}));
    for (const auto& n : names) {
        HKEY sub = nullptr;
        ASSERT_EQ(RegOpenKeyExA(base, n.c_str(), 0, KEY_READ, &sub), ERROR_SUCCESS) << n;
        DWORD type = 0;
        std::string bytes;
        ASSERT_EQ(Get(sub, "AccessKey", type, bytes), ERROR_SUCCESS);
        EXPECT_EQ(bytes, n + '\0');
        RegCloseKey(sub);
    }
    // The key's own values are untouched by a subkey named ".values".
    DWORD values = 1;
    ASSERT_EQ(RegQueryInfoKeyA(base, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 0u);
    EXPECT_TRUE(std::filesystem::is_directory(KeyDir("SOFTWARE/Korvel/HwProvider/%2Evalues")));
    EXPECT_TRUE(std::filesystem::is_directory(KeyDir("SOFTWARE/Korvel/HwProvider/10.0.0.1%2F24")));
    RegCloseKey(base);
}

TEST_F(RegistryTest, FoldersAre0700AndFiles0600) {
    umask(022);
    HKEY key = Create(std::string(kBase) + "\\10.0.0.1");
    ASSERT_EQ(SetBytes(key, "AccessKey", REG_SZ, std::string("secret key\0", 11)), ERROR_SUCCESS);
    RegCloseKey(key);
    // A text with a blank is still written as text.
    EXPECT_NE(ReadFile(KeyDir("SOFTWARE/Korvel/HwProvider/10.0.0.1/.values")).find("\"AccessKey\"=\"secret key\"\n"),
              std::string::npos);
    for (const std::string& dir : {RegistryRoot() + "/HKEY_LOCAL_MACHINE", KeyDir("SOFTWARE"),
                                   KeyDir("SOFTWARE/Korvel/HwProvider"), KeyDir("SOFTWARE/Korvel/HwProvider/10.0.0.1")}) {
        struct stat st{};
        ASSERT_EQ(stat(dir.c_str(), &st), 0) << dir;
        EXPECT_EQ(st.st_mode & 0777, 0700u) << dir;
    }
    struct stat st{};
    ASSERT_EQ(stat(KeyDir("SOFTWARE/Korvel/HwProvider/10.0.0.1/.values").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(RegistryTest, WhatAKilledWriterLeftIsCleanedUpAndNeverBlocksADelete) {
    // A writer killed between writing its temporary file and renaming it.
    HKEY key = Create(std::string(kBase) + "\\10.0.0.5");
    ASSERT_EQ(SetBytes(key, "AccessKey", REG_SZ, std::string("k1\0", 3)), ERROR_SUCCESS);
    const std::string dir = KeyDir("SOFTWARE/Korvel/HwProvider/10.0.0.5");
    std::ofstream(dir + "/.values.a1B2c3") << "half a file";
    // The next writer, holding the lock, removes it.
    ASSERT_EQ(SetBytes(key, "AccessKey", REG_SZ, std::string("k2\0", 3)), ERROR_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(dir + "/.values.a1B2c3"));
    RegCloseKey(key);

    // A delete meeting a stray file removes it with the key.
    std::ofstream(dir + "/.values.Zz9Yy8") << "half a file";
    HKEY base = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, kBase, &base), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(base, "10.0.0.5"), ERROR_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(dir));
    EXPECT_TRUE(Enumerate(base).empty());
    RegCloseKey(base);
}

TEST_F(RegistryTest, ValuesFileWrittenByAWindowsEditorIsRead) {
    // A byte-order mark and CRLF line ends, as a Windows editor saves the file.
    HandWriteValues("\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
                    "\"Tracing\"=\"Enabled\"\r\n\"TypesSupported\"=dword:0000000A\r\n\"Blob\"=hex:00,ff\r\n");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBase, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    DWORD type = 0;
    std::string bytes;
    ASSERT_EQ(Get(key, "Tracing", type, bytes), ERROR_SUCCESS);
    EXPECT_EQ(bytes, std::string("Enabled\0", 8));
    ASSERT_EQ(Get(key, "TypesSupported", type, bytes), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(bytes, std::string("\x0a\0\0\0", 4));
    ASSERT_EQ(Get(key, "Blob", type, bytes), ERROR_SUCCESS);
    EXPECT_EQ(bytes, std::string("\x00\xff", 2));

    // What the store writes itself stays LF without a mark.
    ASSERT_EQ(SetBytes(key, "LogLevel", REG_SZ, std::string("2\0", 2)), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(ReadFile(KeyDir("SOFTWARE/Korvel/HwProvider/.values")),
              "Windows Registry Editor Version 5.00\n\n\"Tracing\"=\"Enabled\"\n\"TypesSupported\"=dword:0000000a\n"
              "\"Blob\"=hex:00,ff\n\"LogLevel\"=\"2\"\n");
}

TEST_F(RegistryTest, ValuesFileInAnyFormTheWriterDoesNotProduceIsUnreadable) {
    for (const char* line : {"\"v\"=dword: -000001", "\"v\"=dword:-0000001", "\"v\"=dword:+0000001",
                             "\"v\"=dword:0x000001", "\"v\"=dword:0000001", "\"v\"=dword:000000001",
                             "\"v\"=hex(100000001):00", "\"v\"=hex(0x1):00", "\"v\"=hex( 1):00",
                             "\"v\"=hex(-1):00", "\"v\"=hex():00", "\"v\"=str:00"}) {
        HandWriteValues(std::string("Windows Registry Editor Version 5.00\n\n\"ok\"=\"x\"\n") + line + "\n");
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBase, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
        DWORD type = 0;
        std::string bytes;
        EXPECT_EQ(Get(key, "ok", type, bytes), ERROR_BADDB) << line;
        EXPECT_EQ(SetBytes(key, "ok", REG_SZ, std::string("y\0", 2)), ERROR_BADDB) << line;
        RegCloseKey(key);
    }
    // The largest type and the widest dword the writer produces still read.
    HandWriteValues("\"t\"=hex(ffffffff):01\n\"d\"=dword:ffffffff\n");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBase, 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD type = 0;
    std::string bytes;
    ASSERT_EQ(Get(key, "t", type, bytes), ERROR_SUCCESS);
    EXPECT_EQ(type, 0xFFFFFFFFu);
    ASSERT_EQ(Get(key, "d", type, bytes), ERROR_SUCCESS);
    EXPECT_EQ(bytes, std::string("\xff\xff\xff\xff", 4));
    RegCloseKey(key);
}

// Runs `body` in a child process and returns its exit status.
template <typename Body>
pid_t Spawn(Body body) {
    pid_t pid = fork();
    if (pid == 0) {
        int rc = body();
        _exit(rc);
    }
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST_F(RegistryTest, ReaderProcessNeverSeesAHalfWrittenValue) {
    HKEY key = Create(kBase);
    const std::string a = std::string(3000, 'A') + '\0';
    const std::string b = std::string(7000, 'B') + '\0';
    ASSERT_EQ(SetBytes(key, "AccessKey", REG_SZ, a), ERROR_SUCCESS);
    RegCloseKey(key);

    pid_t writer = Spawn([&] {
        HKEY k = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBase, 0, KEY_ALL_ACCESS, &k) != ERROR_SUCCESS) return 2;
        for (int i = 0; i < 300; ++i)
            if (SetBytes(k, "AccessKey", REG_SZ, i % 2 ? a : b) != ERROR_SUCCESS) return 3;
        RegCloseKey(k);
        return 0;
    });
    pid_t reader = Spawn([&] {
        for (int i = 0; i < 2000; ++i) {
            HKEY k = nullptr;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBase, 0, KEY_READ, &k) != ERROR_SUCCESS) return 4;
            DWORD type = 0;
            std::string bytes;
            LONG rc = Get(k, "AccessKey", type, bytes);
            RegCloseKey(k);
            if (rc == ERROR_MORE_DATA) continue;  // value grew between the size query and the read
            if (rc != ERROR_SUCCESS || type != REG_SZ || (bytes != a && bytes != b)) return 5;
        }
        return 0;
    });
    EXPECT_EQ(Wait(writer), 0);
    EXPECT_EQ(Wait(reader), 0);
}

TEST_F(RegistryTest, ConcurrentWriterProcessesLoseNoUpdate) {
    HKEY key = Create(kBase);
    RegCloseKey(key);
    auto writeMany = [](char prefix) {
        HKEY k = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBase, 0, KEY_SET_VALUE, &k) != ERROR_SUCCESS) return 2;
        for (int i = 0; i < 100; ++i) {
            std::string name = prefix + std::to_string(i);
            if (SetBytes(k, name.c_str(), REG_SZ, name + '\0') != ERROR_SUCCESS) return 3;
        }
        RegCloseKey(k);
        return 0;
    };
    pid_t first = Spawn([&] { return writeMany('x'); });
    pid_t second = Spawn([&] { return writeMany('y'); });
    EXPECT_EQ(Wait(first), 0);
    EXPECT_EQ(Wait(second), 0);

    HKEY reader = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBase, 0, KEY_READ, &reader), ERROR_SUCCESS);
    DWORD values = 0;
    ASSERT_EQ(RegQueryInfoKeyA(reader, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 200u);
    RegCloseKey(reader);
}

}  // namespace
