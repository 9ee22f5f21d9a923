// Our own helpers on the registry functions, the same on every platform:
// included through "registry.h".
#pragma once

#include <string>

#include "KHandle.h"

// An open registry key, closed on every way out.
struct KorvelRegKeyTraits {
    using Handle = HKEY;
    static constexpr Handle Empty() noexcept { return nullptr; }
    static void Release(Handle key) noexcept { RegCloseKey(key); }
};
using KorvelRegKey = Korvel::KHandle<KorvelRegKeyTraits>;

// Opens subKey of parent, making it where it is missing, with every right.
inline LONG KorvelCreateKey(HKEY parent, const std::string& subKey, KorvelRegKey& key, LPDWORD disposition = nullptr) {
    return RegCreateKeyExA(parent, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                           key.out(), disposition);
}

// Whether this process may write subKey of hive, making it where it is
// missing: the nearest part of the path that exists decides.
bool KorvelMayWriteKey(HKEY hive, LPCSTR subKey);

// Writes text as a REG_SZ value, stored with its terminating zero.
inline LONG KorvelSetText(HKEY key, const char* name, const std::string& text) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}
