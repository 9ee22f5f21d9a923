// Shared set-up of the registration tool's tests: the test's own registry
// store and log, with helpers that read and write the store directly.
#pragma once

#include <optional>
#include <string>

#include "TestEnv.h"

namespace korvel_test {

// HKEY_LOCAL_MACHINE\SOFTWARE\Korvel\HwProvider and an entry below it.
std::string StoreKey();
std::string EntryKey(const std::string& name);

void WriteText(const std::string& keyPath, const std::string& valueName, const std::string& text);
// The value's text, or nothing when the key or the value is missing.
std::optional<std::string> ReadText(const std::string& keyPath, const std::string& valueName);
bool KeyExists(const std::string& keyPath);
void CreateKey(const std::string& keyPath);

// Skips the calling test, with the reason, where this host permits neither
// kind of ICMP socket.
#define SKIP_WITHOUT_ICMP()                                                                  \
    do {                                                                                      \
        std::string reason_ = korvel_test::IcmpUnavailableReason();                          \
        if (!reason_.empty()) GTEST_SKIP() << reason_;                                        \
    } while (0)
std::string IcmpUnavailableReason();

}  // namespace korvel_test
