// Our own helper on the registry functions, the same on every platform:
// included through "registry.h".
#pragma once

// Closes the key it holds on every way out.
class KorvelRegKey {
public:
    KorvelRegKey() = default;
    ~KorvelRegKey() {
        if (m_key != nullptr) RegCloseKey(m_key);
    }
    KorvelRegKey(const KorvelRegKey&) = delete;
    KorvelRegKey& operator=(const KorvelRegKey&) = delete;
    HKEY* Out() { return &m_key; }
    HKEY Get() const { return m_key; }

private:
    HKEY m_key = nullptr;
};
