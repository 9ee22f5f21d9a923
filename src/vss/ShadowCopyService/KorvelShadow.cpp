// KorvelShadow: the shadow copy service's command, for administrators and
// backup scripts. Every command prints a line per step (or one JSON document
// with --json) and exits 0 on success, 1 when the provider or an appliance
// failed, 2 when it refused the request and changed nothing.
#include <CLI/CLI.hpp>

#include <cstdio>
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

std::string Json(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string HResultText(HRESULT hr) {
    char value[16];
    std::snprintf(value, sizeof value, "0x%08X", static_cast<unsigned>(hr));
    std::string name = HResultName(hr);
    return name == value ? name : name + " (" + value + ")";
}

std::string EntryJson(const KShadowCopyEntry& e) {
    return "{\"shadow_id\":" + Json(e.shadowId) + ",\"set_id\":" + Json(e.setId) + ",\"created_at\":" +
           Json(e.createdAt) + ",\"source_device\":" + Json(e.sourceDevice) + ",\"snapshot\":" +
           Json(e.snapshotName) + ",\"exposed_device\":" + (e.exposedDevice.empty() ? "null" : Json(e.exposedDevice)) +
           "}";
}

// Collects what a command did, and prints it as text at once or as JSON at the end.
class Report {
public:
    explicit Report(bool json) : m_json(json) {}

    void Step(const KShadowStep& step) {
        const std::string line = step.operation + (step.subject.empty() ? "" : " " + step.subject);
        if (m_json)
            m_steps.push_back("{\"operation\":" + Json(step.operation) + ",\"subject\":" + Json(step.subject) +
                              ",\"result\":" + Json(HResultName(step.result)) + "}");
        else
            std::printf("  %-22s %s\n", HResultName(step.result).c_str(), line.c_str());
    }
    void Line(const std::string& text) {
        if (!m_json) std::printf("%s\n", text.c_str());
    }
    void Result(const std::string& json) { m_result = json; }

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
            Print("false", "{\"kind\":\"failed\",\"message\":" + Json(failure.what()) + ",\"operation\":" +
                               Json(failure.Step().operation) + ",\"hresult\":" + Json(HResultName(hr)) +
                               ",\"value\":" + std::to_string(static_cast<unsigned>(hr)) + ",\"events\":[" + events +
                               "]}");
        } else {
            std::fprintf(stderr, "KorvelShadow: %s failed with %s\n", failure.Step().operation.c_str(),
                         HResultText(hr).c_str());
            if (failure.Step().operation != std::string(failure.what()).substr(0, failure.Step().operation.size()))
                std::fprintf(stderr, "  %s\n", failure.what());
            for (const std::string& e : failure.Events()) std::fprintf(stderr, "  provider event: %s\n", e.c_str());
        }
        return 1;
    }

private:
    void Print(const char* ok, const std::string& error) {
        std::string steps;
        for (const std::string& s : m_steps) steps += (steps.empty() ? "" : ",") + s;
        std::printf("{\"ok\":%s,\"steps\":[%s],\"result\":%s,\"error\":%s}\n", ok, steps.c_str(),
                    m_result.empty() ? "null" : m_result.c_str(), error.c_str());
    }

    bool m_json;
    std::vector<std::string> m_steps;
    std::string m_result;
};

std::string Table(const std::vector<KShadowCopyEntry>& entries) {
    std::ostringstream out;
    char line[512];
    std::snprintf(line, sizeof line, "%-38s  %-38s  %-20s  %-10s  %-10s  %s\n", "SHADOW ID", "SNAPSHOT SET",
                  "CREATED", "SOURCE", "EXPOSED", "APPLIANCE SNAPSHOT");
    out << line;
    for (const KShadowCopyEntry& e : entries) {
        std::snprintf(line, sizeof line, "%-38s  %-38s  %-20s  %-10s  %-10s  %s\n", e.shadowId.c_str(),
                      e.setId.c_str(), e.createdAt.c_str(), e.sourceDevice.c_str(),
                      e.exposedDevice.empty() ? "-" : e.exposedDevice.c_str(), e.snapshotName.c_str());
        out << line;
    }
    return out.str();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"KorvelShadow: take, expose, release, roll back and delete hardware shadow copies of disks on "
                 "Korvel appliances"};
    app.require_subcommand(1);
    app.fallthrough();  // --json and --catalogue also after the sub-command
    bool json = false;
    std::string catalogue = KShadowCatalogue::DefaultPath();
    app.add_flag("--json", json, "Print one JSON document for scripts");
    app.add_option("--catalogue", catalogue, "The shadow copy catalogue (default: $KORVEL_CATALOGUE or "
                                             "/var/lib/korvel/shadows.db)");
    bool inProcess = false;
    app.add_flag("--in-process", inProcess,
                 "Create the provider in this process instead of reaching it in the KorvelProvider server");

    std::vector<std::string> devices;
    std::string shadowId;
    bool orphans = false;
    auto* create = app.add_subcommand("create", "Take one snapshot set of the named disks");
    create->add_option("DEVICE", devices, "Disks, such as /dev/sdb")->required();
    auto* list = app.add_subcommand("list", "Show the catalogue");
    list->add_flag("--orphans", orphans,
                   "Show instead the appliance snapshots named \"snap_...\" that no catalogue entry knows");
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
    };
    for (Named& n : named) {
        n.command = app.add_subcommand(n.name, n.help);
        n.command->add_option("SHADOW_ID", shadowId, "The shadow copy, as \"list\" shows it")->required();
    }
    CLI11_PARSE(app, argc, argv);

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
        KShadowCoordinator coordinator(options);
        auto used = [&app](const char* name) { return app.got_subcommand(name); };

        if (used("create")) {
            report.Line("Creating a snapshot set of " + std::to_string(devices.size()) + " disk(s)");
            std::vector<KShadowCopyEntry> created = coordinator.Create(devices);
            std::string items;
            for (const KShadowCopyEntry& e : created) {
                report.Line("Shadow copy " + e.shadowId + " of " + e.sourceDevice + ": appliance snapshot " +
                            e.snapshotName);
                items += (items.empty() ? "" : ",") + EntryJson(e);
            }
            report.Line("Snapshot set " + created.front().setId);
            report.Result("[" + items + "]");
        } else if (used("list") && orphans) {
            std::string items;
            for (const auto& orphan : coordinator.Orphans()) {
                report.Line(orphan.first + "  " + orphan.second);
                items += (items.empty() ? "" : ",") + std::string("{\"appliance\":") + Json(orphan.first) +
                         ",\"snapshot\":" + Json(orphan.second) + "}";
            }
            report.Result("[" + items + "]");
        } else if (used("list")) {
            std::vector<KShadowCopyEntry> entries = coordinator.List();
            if (!json) std::fputs(Table(entries).c_str(), stdout);
            std::string items;
            for (const KShadowCopyEntry& e : entries) items += (items.empty() ? "" : ",") + EntryJson(e);
            report.Result("[" + items + "]");
        } else if (used("expose")) {
            report.Line("Exposing shadow copy " + shadowId);
            std::string device = coordinator.Expose(shadowId);
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
        }
        code = report.Succeeded();
    } catch (const KShadowRefusal& refusal) {
        code = report.Refused(refusal.what());
    } catch (const KShadowFailure& failure) {
        code = report.Failed(failure);
    } catch (const std::exception& e) {
        code = report.Failed(KShadowFailure(e.what(), KShadowStep{"KorvelShadow", "", E_FAIL}, {}));
    }
    CoRevokeClassObject(cookie);
    Logger::CloseStream();
    return code;
}
