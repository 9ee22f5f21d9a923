// Off-host backup: export hands shadow copies to another host in a document
// (KShadowTransport.h), import makes them that host's. The clone is mapped
// to whichever host exposes the copy, since the provider asks NodeFacts for
// the initiator name of the host it runs on; so an imported row needs
// nothing of the creating host but the snapshot and its LUN records.
#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "KHostDisks.h"
#include "KShadowAppliances.h"
#include "KShadowCoordinator.h"
#include "KShadowTransport.h"
#include "KorvelStore.h"
#include "NodeFacts.h"
#include "registry.h"

namespace Korvel {

namespace {

std::string HostName() {
    char name[256] = "";
    if (::gethostname(name, sizeof name - 1) != 0) return std::string();
    return name;
}

// Recorded in this host's configuration store, whatever its record holds.
bool Recorded(const std::string& appliance) {
    KorvelRegKey key;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, StoreEntryKey(appliance).c_str(), 0, KEY_READ, key.out()) == ERROR_SUCCESS;
}

}  // namespace

KShadowExport KShadowCoordinator::Export(const std::string& id, const std::string& file, bool keep,
                                         const std::function<void(const std::string&)>& deliver) {
    GUID guid;
    if (!ParseGuid(id, guid)) throw KShadowRefusal("\"" + id + "\" is not a shadow copy or snapshot set ID");
    const std::string key = GuidText(guid);
    std::vector<std::string> ids;
    if (m_catalogue.Find(key)) {
        ids.push_back(key);
    } else {
        for (const KShadowCopyEntry& e : m_catalogue.List())
            if (e.setId == key) ids.push_back(e.shadowId);
    }
    if (ids.empty()) throw KShadowRefusal("Unknown shadow copy or snapshot set " + key);
    if (ids.size() > KShadowDocument::kMaxCopies)
        throw KShadowRefusal("Snapshot set " + key + " has more shadow copies than a document holds (" +
                             std::to_string(KShadowDocument::kMaxCopies) + ")");
    std::sort(ids.begin(), ids.end());
    std::vector<std::shared_ptr<void>> locks;
    for (const std::string& shadowId : ids) locks.push_back(LockRow(shadowId, "export"));

    std::vector<KShadowCopyEntry> entries;
    for (const std::string& shadowId : ids) {
        KShadowCopyEntry entry = Entry(shadowId);  // as it is now that it is ours
        if (entry.state == "pending")
            throw KShadowRefusal("Shadow copy " + entry.shadowId +
                                 " was never completed (its create stopped half-way): it cannot be exported");
        if (entry.state == "exported")
            throw KShadowRefusal("Shadow copy " + entry.shadowId + " is exported already, in the document " +
                                 entry.document);
        if (entry.state != "created")
            throw KShadowRefusal("Shadow copy " + entry.shadowId + " is " + entry.state + ": it cannot be exported");
        if (!entry.intent.empty()) Repair(entry, true);
        // A copy moves to another host only while no host, this one included, uses it.
        if (!entry.exposedDevice.empty())
            throw KShadowRefusal("Shadow copy " + entry.shadowId + " is exposed as " + entry.exposedDevice +
                                 ": mask it before exporting it");
        entries.push_back(std::move(entry));
    }

    KShadowDocument document;
    document.setId = entries.front().setId;
    document.createdAt = entries.front().createdAt;
    document.exportedAt = UtcNowText();
    document.hostName = HostName();
    KorvelHostInfo::GetIQN(document.hostInitiator);
    {
        // The appliance of each snapshot: the one that holds it now.
        KShadowAppliances appliances;
        for (const KShadowCopyEntry& entry : entries) {
            std::string appliance;
            for (const KShadowAppliances::Snapshot& snapshot : appliances.Snapshots())
                if (snapshot.id == entry.snapshotName) appliance = snapshot.appliance;
            if (appliance.empty() && !appliances.Failures().empty())
                throw KShadowFailure("The snapshot " + entry.snapshotName + " of shadow copy " + entry.shadowId +
                                         " could not be looked for: " + JoinedText(appliances.Failures()),
                                     KShadowStep{"export", entry.shadowId, E_FAIL}, {});
            if (appliance.empty())
                throw KShadowRefusal("The snapshot " + entry.snapshotName + " of shadow copy " + entry.shadowId +
                                     " is on no appliance of this host's configuration store");
            Note("Shadow copy " + entry.shadowId + ": snapshot " + entry.snapshotName + " on appliance " + appliance);
            document.copies.push_back({entry.shadowId, entry.sourceDevice, appliance, entry.snapshotName,
                                       entry.consistency, entry.sourceLun, entry.targetLun});
        }
    }

    const std::string bytes = RefusedOnFailure([&] {
        std::string written = WriteShadowDocument(document);
        if (!file.empty())
            SaveShadowDocument(file, written);
        else if (deliver)
            deliver(written);
        return written;
    });
    if (!keep) {
        try {
            m_catalogue.SetExported(ids, document.checksum);
        } catch (const std::exception& e) {
            // Both hosts must never own a copy: the document goes again.
            if (!file.empty() && ::unlink(file.c_str()) == 0)
                throw KShadowRefusal("Cannot write the shadow copy catalogue " + m_options.cataloguePath + ": " +
                                     e.what() + "; the document " + file + " was removed again");
            throw KShadowFailure("The catalogue " + m_options.cataloguePath + " could not record the export (" +
                                     e.what() + "): the shadow copies stay this host's, and the document " +
                                     (file.empty() ? std::string("written") : file) + " must not be imported",
                                 KShadowStep{"export", ids.front(), E_FAIL}, {});
        }
        for (KShadowCopyEntry& entry : entries) {
            entry.state = "exported";
            entry.document = document.checksum;
        }
    }
    return KShadowExport{entries, document.checksum};
}

std::vector<KShadowCopyEntry> KShadowCoordinator::Import(const std::string& file) {
    KShadowDocument document;
    try {
        document = ReadShadowDocument(LoadShadowDocument(file));
    } catch (const KShadowDocumentError& e) {
        throw KShadowRefusal("Cannot import " + file + ": " + e.what());
    }
    for (const KShadowDocument::Copy& copy : document.copies)
        if (!Recorded(copy.appliance))
            throw KShadowRefusal("The appliance " + copy.appliance + " of shadow copy " + copy.shadowId +
                                 " is not recorded in this host's configuration store: record it with "
                                 "KorvelRegTool, then import again");

    {
        KShadowAppliances appliances;
        const std::vector<std::string> usable = appliances.Addresses();
        std::vector<std::pair<std::string, KShadowAppliances::Volume>> clones;  // with the shadow copy
        for (const KShadowDocument::Copy& copy : document.copies) {
            if (std::find(usable.begin(), usable.end(), copy.appliance) == usable.end())
                throw KShadowRefusal("The appliance " + copy.appliance +
                                     " is recorded in this host's configuration store, but its record cannot be "
                                     "used (KorvelShadow.log says why)");
            bool found = false;
            for (const KShadowAppliances::Snapshot& snapshot : appliances.Snapshots())
                found = found || (snapshot.appliance == copy.appliance && snapshot.id == copy.snapshot);
            for (const KShadowAppliances::Volume& clone : appliances.ClonesOf(copy.snapshot))
                if (clone.appliance == copy.appliance) clones.emplace_back(copy.shadowId, clone);
            if (appliances.Failed(copy.appliance))
                throw KShadowFailure(
                    "Shadow copy " + copy.shadowId + " cannot be checked: " + JoinedText(appliances.Failures()),
                    KShadowStep{"import", copy.shadowId, E_FAIL}, {});
            if (!found)
                throw KShadowRefusal("The snapshot " + copy.snapshot + " of shadow copy " + copy.shadowId +
                                     " is no longer on appliance " + copy.appliance);
        }
        // The appliance lists no mappings. A clone of the snapshot is made by
        // an expose and mapped to the host that made it: one whose disk this
        // host does not show (after a rescan, as a mapping shows only then)
        // is another host's exposed copy, or that host's unfinished expose.
        if (!clones.empty()) {
            RescanIscsiHosts();
            const std::map<std::string, std::string> disks = DisksHere();
            for (const auto& [shadowId, clone] : clones)
                if (disks.count(clone.listing.volID) == 0)
                    throw KShadowRefusal("Shadow copy " + shadowId + " is exposed on another host: the clone volume " +
                                         clone.listing.volName + " (" + clone.listing.volDispName +
                                         ") of its snapshot on appliance " + clone.appliance +
                                         " is not a disk of this host. Release or mask it on the host that "
                                         "exposed it, then import again");
        }
    }

    std::vector<std::shared_ptr<void>> locks;
    std::vector<KShadowCopyEntry> rows;
    for (const KShadowDocument::Copy& copy : document.copies) {
        locks.push_back(LockRow(copy.shadowId, "import"));
        if (const auto row = m_catalogue.Find(copy.shadowId))
            throw KShadowRefusal("Shadow copy " + copy.shadowId + " is in this host's catalogue already (state \"" +
                                 row->state + "\", origin \"" + row->origin + "\"): a document is imported once");
        KShadowCopyEntry entry;
        entry.shadowId = copy.shadowId;
        entry.setId = document.setId;
        entry.createdAt = document.createdAt;
        entry.sourceDevice = copy.sourceDevice;
        entry.sourceLun = copy.sourceLun;
        entry.targetLun = copy.targetLun;
        entry.snapshotName = copy.snapshot;
        entry.state = "created";
        entry.origin = "imported from " + document.hostName;
        entry.document = document.checksum;
        entry.consistency = copy.consistency;
        rows.push_back(std::move(entry));
    }
    try {
        m_catalogue.AddImported(document.setId, document.createdAt, rows);
    } catch (const std::exception& e) {
        throw KShadowRefusal("Cannot write the shadow copy catalogue " + m_options.cataloguePath + ": " + e.what());
    }
    return rows;
}

}  // namespace Korvel
