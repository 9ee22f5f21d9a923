// KorvelShadow: the shadow copy service's command, for administrators and
// backup scripts. Every command prints a line per step (or one JSON document
// with --json) and exits 0 on success, 1 when the provider or an appliance
// failed, 2 when it refused the request and changed nothing.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "KLunRecord.h"
#include "KShadowCoordinator.h"
#include "KorvelProvider.h"
#include "KorvelRemoting.h"
#include "Logger.h"

using namespace Korvel;

namespace {

// The length of the UTF-8 sequence that starts text[at], or 0 when it is not one.
size_t Utf8Length(const std::string& text, size_t at) {
    const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    unsigned minimum = 0;
    unsigned code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, code = lead & 0x07u;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0u) != 0x80u) return 0;
        code = (code << 6) | (byte(at + i) & 0x3Fu);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

// A JSON string: control characters escaped, and bytes that are not UTF-8
// (a device name, an appliance's text) replaced, so the document stays valid.
std::string Json(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else if (c < 0x80) {
                    out += static_cast<char>(c);
                } else if (const size_t length = Utf8Length(text, i)) {
                    out.append(text, i, length);
                    i += length - 1;
                } else {
                    out += "\\ufffd";
                }
        }
    }
    return out + "\"";
}

std::string JsonOrNull(const std::string& text) { return text.empty() ? "null" : Json(text); }

std::string HResultText(HRESULT hr) {
    char value[16];
    std::snprintf(value, sizeof value, "0x%08X", static_cast<unsigned>(hr));
    std::string name = HResultName(hr);
    return name == value ? name : name + " (" + value + ")";
}

std::string EntryJson(const KShadowCopyEntry& e) {
    return "{\"shadow_id\":" + Json(e.shadowId) + ",\"set_id\":" + Json(e.setId) +
           ",\"created_at\":" + Json(e.createdAt) + ",\"source_device\":" + Json(e.sourceDevice) +
           ",\"snapshot\":" + Json(e.snapshotName) + ",\"exposed_device\":" + JsonOrNull(e.exposedDevice) +
           ",\"mount_point\":" + JsonOrNull(e.mountPoint) + ",\"consistency\":" + Json(e.consistency) +
           ",\"state\":" + Json(e.state) + ",\"intent\":" + JsonOrNull(e.intent) + ",\"origin\":" + Json(e.origin) +
           ",\"document\":" + JsonOrNull(e.document) + "}";
}

// What a row is doing, for the table.
std::string StateText(const KShadowCopyEntry& e) { return e.intent.empty() ? e.state : e.intent; }

// Collects what a command did, and prints it as text at once or as JSON at the end.
class Report {
public:
    explicit Report(bool json) : m_json(json) {}

    void Step(const KShadowStep& step) {
        const std::string line = step.operation + (step.subject.empty() ? "" : " " + step.subject);
        if (m_json) {
            m_steps.push_back("{\"operation\":" + Json(step.operation) + ",\"subject\":" + Json(step.subject) +
                              ",\"result\":" + Json(HResultName(step.result)) +
                              (step.output.empty() ? "" : ",\"output\":" + Json(step.output)) + "}");
            return;
        }
        std::fprintf(m_text, "  %-22s %s\n", HResultName(step.result).c_str(), line.c_str());
        // What a hook printed, under its step.
        for (size_t at = 0; at < step.output.size();) {
            const size_t end = std::min(step.output.find('\n', at), step.output.size());
            std::fprintf(m_text, "  %-22s | %s\n", "", step.output.substr(at, end - at).c_str());
            at = end + 1;
        }
    }
    void Line(const std::string& text) {
        if (!m_json) std::fprintf(m_text, "%s\n", text.c_str());
    }
    // What the command found and did besides the provider's steps.
    void Note(const std::string& text) {
        if (m_json)
            m_notes.push_back(Json(text));
        else
            std::fprintf(m_text, "  %s\n", text.c_str());
    }
    void Result(const std::string& json) { m_result = json; }
    // Where the text goes when standard output carries something else.
    void TextTo(FILE* stream) { m_text = stream; }

    int Succeeded() {
        if (m_json) Print("true", "null");
        return 0;
    }
    int Refused(const std::string& why) {
        if (m_json)
            Print("false", "{\"kind\":\"refused\",\"message\":" + Json(why) + "}");
        else
            std::fprintf(stderr, "KorvelShadow: %s\n", why.c_str());
        return 2;
    }
    int Failed(const KShadowFailure& failure) {
        const HRESULT hr = failure.Step().result;
        if (m_json) {
            std::string events;
            for (const std::string& e : failure.Events()) events += (events.empty() ? "" : ",") + Json(e);
            Print("false",
                  "{\"kind\":\"failed\",\"message\":" + Json(failure.what()) +
                      ",\"operation\":" + Json(failure.Step().operation) + ",\"hresult\":" + Json(HResultName(hr)) +
                      ",\"value\":" + std::to_string(static_cast<unsigned>(hr)) + ",\"events\":[" + events + "]}");
        } else {
            // A step that answered S_OK failed for what it found, which the message says.
            if (hr == S_OK)
                std::fprintf(stderr, "KorvelShadow: %s\n", failure.what());
            else
                std::fprintf(stderr, "KorvelShadow: %s failed with %s\n", failure.Step().operation.c_str(),
                             HResultText(hr).c_str());
            if (hr != S_OK &&
                failure.Step().operation != std::string(failure.what()).substr(0, failure.Step().operation.size()))
                std::fprintf(stderr, "  %s\n", failure.what());
            for (const std::string& e : failure.Events()) std::fprintf(stderr, "  provider event: %s\n", e.c_str());
        }
        return 1;
    }

private:
    void Print(const char* ok, const std::string& error) {
        std::string steps;
        for (const std::string& s : m_steps) steps += (steps.empty() ? "" : ",") + s;
        std::string notes;
        for (const std::string& n : m_notes) notes += (notes.empty() ? "" : ",") + n;
        std::printf("{\"ok\":%s,\"steps\":[%s],\"notes\":[%s],\"result\":%s,\"error\":%s}\n", ok, steps.c_str(),
                    notes.c_str(), m_result.empty() ? "null" : m_result.c_str(), error.c_str());
    }

    bool m_json;
    FILE* m_text = stdout;
    std::vector<std::string> m_steps;
    std::vector<std::string> m_notes;
    std::string m_result;
};

std::string Table(const std::vector<KShadowCopyEntry>& entries) {
    std::ostringstream out;
    char line[512];
    std::snprintf(line, sizeof line, "%-38s  %-38s  %-20s  %-10s  %-8s  %-11s  %-10s  %-28s  %s\n", "SHADOW ID",
                  "SNAPSHOT SET", "CREATED", "SOURCE", "STATE", "CONSISTENCY", "EXPOSED", "APPLIANCE SNAPSHOT",
                  "ORIGIN");
    out << line;
    for (const KShadowCopyEntry& e : entries) {
        std::snprintf(line, sizeof line, "%-38s  %-38s  %-20s  %-10s  %-8s  %-11s  %-10s  %-28s  %s\n",
                      e.shadowId.c_str(), e.setId.c_str(), e.createdAt.c_str(), e.sourceDevice.c_str(),
                      StateText(e).c_str(), e.state == "pending" ? "-" : e.consistency.c_str(),
                      e.exposedDevice.empty() ? "-"
                      : e.mountPoint.empty()  ? e.exposedDevice.c_str()
                                              : (e.exposedDevice + " at " + e.mountPoint).c_str(),
                      e.snapshotName.empty() ? "-" : e.snapshotName.c_str(), e.origin.c_str());
        out << line;
    }
    return out.str();
}

}  // namespace

// The orphans as text lines and as JSON items.
void ReportOrphans(Report& report, const KShadowOrphans& orphans) {
    std::string items;
    auto add = [&items](const std::string& item) { items += (items.empty() ? "" : ",") + item; };
    auto snapshots = [&](const std::vector<KShadowOrphans::Snapshot>& list, const char* kind,
                         const std::string& title) {
        if (list.empty()) return;
        report.Line(title);
        for (const auto& s : list) {
            report.Line("  " + s.appliance + "  " + s.snapshot);
            add(std::string("{\"kind\":\"") + kind + "\",\"appliance\":" + Json(s.appliance) +
                ",\"snapshot\":" + Json(s.snapshot) + "}");
        }
    };
    snapshots(orphans.snapshots, "snapshot", "Snapshots left by a create of this host that did not finish:");
    if (!orphans.clones.empty()) report.Line("Clone volumes that no shadow copy of this host knows:");
    for (const auto& c : orphans.clones) {
        report.Line("  " + c.appliance + "  " + c.volume + "  " + c.displayName +
                    (c.device.empty() ? "" : "  mapped to this host as " + c.device));
        add("{\"kind\":\"clone\",\"appliance\":" + Json(c.appliance) + ",\"volume\":" + Json(c.volume) +
            ",\"display_name\":" + Json(c.displayName) + ",\"device\":" + JsonOrNull(c.device) + "}");
    }
    snapshots(orphans.notMadeHere, "not_made_by_this_host",
              "Not made by this host (they may belong to another host's shadow copies: ask there before deleting "
              "them):");
    if (orphans.snapshots.empty() && orphans.clones.empty() && orphans.notMadeHere.empty() && orphans.failures.empty())
        report.Line("The appliances hold nothing that no shadow copy of this host knows");
    for (const std::string& failure : orphans.failures) {
        report.Line("Not searched: " + failure);
        add("{\"kind\":\"not_searched\",\"message\":" + Json(failure) + "}");
    }
    report.Result("[" + items + "]");
}

int main(int argc, char** argv) {
    // A killed command keeps the lines it wrote, also into a pipe or a file.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    CLI::App app{
        "KorvelShadow: take, expose, release, roll back and delete hardware shadow copies of disks on "
        "Korvel appliances"};
    app.require_subcommand(1);
    app.fallthrough();  // --json and --catalogue also after the sub-command
    bool json = false;
    std::string catalogue = KShadowCatalogue::DefaultPath();
    app.add_flag("--json", json, "Print one JSON document for scripts");
    app.add_option("--catalogue", catalogue,
                   "The shadow copy catalogue (default: $KORVEL_CATALOGUE or "
                   "/var/lib/korvel/shadows.db)");
    bool inProcess = false;
    app.add_flag("--in-process", inProcess,
                 "Create the provider in this process instead of reaching it in the KorvelProvider server");

    std::vector<std::string> devices;
    std::string shadowId;
    bool orphans = false;
    auto* create = app.add_subcommand("create", "Take one snapshot set of the named disks");
    create->add_option("DEVICE", devices, "Disks, such as /dev/sdb")->required();
    bool noFreeze = false;
    unsigned hookTimeout = 60;
    double holdLimit = 10;
    create->add_flag("--no-freeze", noFreeze, "Take a crash-consistent copy: no freeze hooks, no filesystems frozen");
    create->add_option("--hook-timeout", hookTimeout, "Seconds each freeze or thaw hook may take (default 60)")
        ->check(CLI::Range(1u, 3600u));
    create
        ->add_option("--hold-limit", holdLimit,
                     "Seconds the filesystems may stay frozen; a commit that takes longer is aborted (default 10)")
        ->check(CLI::Range(0.1, 60.0));
    auto* list = app.add_subcommand("list", "Show the catalogue");
    list->add_flag("--orphans", orphans,
                   "Show instead what the appliances hold that no catalogue entry knows: snapshots and clone "
                   "volumes left by commands that did not finish, and apart, snapshots not made by this host");
    struct Named {
        const char* name;
        const char* help;
        CLI::App* command;
    } named[] = {
        {"expose", "Make a shadow copy visible on this host as a new disk", nullptr},
        {"release", "Release an exposed shadow copy: deletes its clone and the appliance snapshot", nullptr},
        {"mask", "Mask an exposed shadow copy from this host: deletes its clone, keeps the snapshot", nullptr},
        {"revert", "Roll the source disk back to the shadow copy", nullptr},
        {"delete", "Remove a shadow copy completely, appliance snapshot included", nullptr},
        {"forget",
         "Drop a shadow copy from the catalogue without touching the appliances, and show what they "
         "still hold of it",
         nullptr},
    };
    for (Named& n : named) {
        n.command = app.add_subcommand(n.name, n.help);
        n.command->add_option("SHADOW_ID", shadowId, "The shadow copy, as \"list\" shows it")->required();
    }
    std::string mountDir;
    named[0].command->add_option("--mount", mountDir,
                                 "Mount the exposed disk's filesystem read-only at this folder (made when missing)");
    std::string exportId, documentFile, importFile;
    bool keep = false;
    auto* exporting = app.add_subcommand("export",
                                         "Write the document that hands a shadow copy, or every copy of a "
                                         "snapshot set, to another host for off-host backup; the copies "
                                         "become \"exported\" here");
    exporting->add_option("ID", exportId, "A shadow copy or snapshot set, as \"list\" shows it")->required();
    exporting->add_option("-o,--output", documentFile,
                          "Write the document to FILE (mode 0600), not to standard output");
    exporting->add_flag("--keep", keep, "Keep the shadow copies on this host: the document is a copy for the record");
    auto* importing = app.add_subcommand("import",
                                         "Record the shadow copies of a document that \"export\" wrote on "
                                         "another host as this host's, after checking it and the appliances");
    importing->add_option("FILE", importFile, "The document")->required();
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;  // a usage error, as every refusal
    }

    Logger::Initialize("KorvelShadow.log", KLOG_INFO, true);
    // The provider lives in the KorvelProvider server, as it does for VSS, and
    // checks this caller's rights there; on request it is served from this
    // process's class table instead.
    DWORD cookie = 0;
    if (inProcess)
        KorvelRegisterProviderClass(CLSCTX_INPROC_SERVER, &cookie);
    else
        KorvelInstallLocalActivator();

    Report report(json);
    int code = 0;
    try {
        KShadowCoordinator::Options options;
        options.cataloguePath = catalogue;
        options.clsContext = inProcess ? CLSCTX_INPROC_SERVER : CLSCTX_LOCAL_SERVER;
        options.onStep = [&report](const KShadowStep& step) { report.Step(step); };
        options.onNote = [&report](const std::string& text) { report.Note(text); };
        options.freeze = !noFreeze;
        options.hookTimeout = std::chrono::seconds(hookTimeout);
        options.holdLimit = std::chrono::milliseconds(static_cast<long long>(holdLimit * 1000 + 0.5));
        KShadowCoordinator coordinator(options);
        auto used = [&app](const char* name) { return app.got_subcommand(name); };

        if (used("create")) {
            report.Line("Creating a snapshot set of " + std::to_string(devices.size()) + " disk(s)");
            std::vector<KShadowCopyEntry> created = coordinator.Create(devices);
            std::string items;
            for (const KShadowCopyEntry& e : created) {
                report.Line("Shadow copy " + e.shadowId + " of " + e.sourceDevice + ": appliance snapshot " +
                            e.snapshotName + ", " + e.consistency + "-consistent");
                items += (items.empty() ? "" : ",") + EntryJson(e);
            }
            report.Line("Snapshot set " + created.front().setId);
            report.Result("[" + items + "]");
        } else if (used("list") && orphans) {
            const KShadowOrphans found = coordinator.Orphans();
            ReportOrphans(report, found);
            // What could not be searched is not known to be clean.
            if (!found.failures.empty())
                throw KShadowFailure("Not every appliance could be searched: " + found.failures.front(),
                                     KShadowStep{"list", "--orphans", S_OK}, {});
        } else if (used("list")) {
            std::vector<KShadowCopyEntry> entries = coordinator.List();
            if (!json) std::fputs(Table(entries).c_str(), stdout);
            std::string items;
            for (const KShadowCopyEntry& e : entries) items += (items.empty() ? "" : ",") + EntryJson(e);
            report.Result("[" + items + "]");
        } else if (used("expose")) {
            report.Line("Exposing shadow copy " + shadowId);
            std::string device = coordinator.Expose(shadowId, mountDir);
            report.Line(device);
            report.Result("{\"device\":" + Json(device) + "}");
        } else if (used("release")) {
            report.Line("Releasing shadow copy " + shadowId);
            coordinator.Release(shadowId);
            report.Line("Released: the clone and the appliance snapshot are deleted");
        } else if (used("mask")) {
            report.Line("Masking shadow copy " + shadowId);
            coordinator.Mask(shadowId);
            report.Line("Masked: the clone is deleted, the appliance snapshot kept");
        } else if (used("revert")) {
            report.Line("Rolling back to shadow copy " + shadowId);
            coordinator.Revert(shadowId);
            report.Line("Rolled back");
        } else if (used("delete")) {
            report.Line("Deleting shadow copy " + shadowId);
            coordinator.Delete(shadowId);
            report.Line("Deleted");
        } else if (used("export")) {
            if (documentFile.empty() && json)
                throw KShadowRefusal("--json needs -o FILE: the document would share standard output with the JSON");
            // Without a file, standard output carries the document alone.
            if (documentFile.empty()) report.TextTo(stderr);
            report.Line("Exporting " + exportId);
            const auto deliver = [](const std::string& document) {
                if (std::fwrite(document.data(), 1, document.size(), stdout) != document.size() ||
                    std::fflush(stdout) != 0)
                    throw std::runtime_error(std::string("Cannot write the document to standard output: ") +
                                             std::strerror(errno));
            };
            const KShadowExport exported = coordinator.Export(exportId, documentFile, keep, deliver);
            std::string items;
            for (const KShadowCopyEntry& e : exported.copies) items += (items.empty() ? "" : ",") + EntryJson(e);
            report.Line("Wrote the document to " +
                        (documentFile.empty() ? std::string("standard output") : documentFile) + ", checksum " +
                        exported.checksum);
            report.Line(keep ? "Kept: the shadow copies stay this host's"
                             : "Exported: the shadow copies are the importing host's now; here only \"forget\" is "
                               "allowed on them");
            report.Result("{\"file\":" + JsonOrNull(documentFile) + ",\"checksum\":" + Json(exported.checksum) +
                          ",\"kept\":" + (keep ? "true" : "false") + ",\"shadow_copies\":[" + items + "]}");
        } else if (used("import")) {
            report.Line("Importing " + importFile);
            std::string items;
            const std::vector<KShadowCopyEntry> imported = coordinator.Import(importFile);
            for (const KShadowCopyEntry& e : imported) {
                report.Line("Shadow copy " + e.shadowId + " of " + e.sourceDevice + ": appliance snapshot " +
                            e.snapshotName + ", " + e.consistency + "-consistent");
                items += (items.empty() ? "" : ",") + EntryJson(e);
            }
            report.Line("Recorded as \"" + imported.front().origin +
                        "\": \"expose\" makes a copy visible on this host");
            report.Result("[" + items + "]");
        } else if (used("forget")) {
            report.Line("Forgetting shadow copy " + shadowId);
            std::string items;
            const std::vector<std::string> left = coordinator.Forget(shadowId);
            report.Line(left.empty() ? "Forgotten; the appliances hold nothing of it"
                                     : "Forgotten; the appliances still hold:");
            for (const std::string& thing : left) {
                report.Line("  " + thing);
                items += (items.empty() ? "" : ",") + Json(thing);
            }
            report.Result("{\"left_on_appliances\":[" + items + "]}");
        }
        code = report.Succeeded();
    } catch (const KShadowRefusal& refusal) {
        code = report.Refused(refusal.what());
    } catch (const KShadowFailure& failure) {
        const KShadowStep& step = failure.Step();
        if (!inProcess && step.operation == "CoCreateInstance" && step.result == CO_E_SERVER_EXEC_FAILURE)
            code = report.Failed(KShadowFailure("the KorvelProvider service is not running (no server on " +
                                                    KorvelProviderSocketPath() +
                                                    "): start it with systemctl start KorvelProvider",
                                                step, failure.Events()));
        else
            code = report.Failed(failure);
    } catch (const std::exception& e) {
        code = report.Failed(KShadowFailure(e.what(), KShadowStep{"KorvelShadow", "", E_FAIL}, {}));
    }
    CoRevokeClassObject(cookie);
    Logger::CloseStream();
    return code;
}
