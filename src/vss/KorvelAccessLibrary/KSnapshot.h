// A snapshot of a cached volume; owned by that volume. Internal to the library.
#pragma once

#include <string>

#include "KorvelAccessLibrary.h"

namespace Korvel {

class KSnapshot {
public:
    explicit KSnapshot(std::string& snapID);
    ~KSnapshot();

    KSnapshot(const KSnapshot&) = delete;
    KSnapshot& operator=(const KSnapshot&) = delete;

    const std::string& GetSnapshotID() const { return m_snapID; }
    KVolume* GetVolume() const { return m_volume; }
    void SetVolume(KVolume* volume) { m_volume = volume; }

private:
    std::string m_snapID;
    KVolume* m_volume;  // not owned: the volume whose list holds this snapshot
};

}  // namespace Korvel
