// qsta-simulator: serves a simulated QSTA appliance until SIGINT or SIGTERM.
#include "qsta/Simulator.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <mutex>
#include <string>

namespace {

const char* const kUsage =
    "Usage: qsta-simulator --listen ADDR:PORT --access-key KEY [--seed FILE] [--threads N] [--quiet]\n"
    "                      [--data-dir DIR] [--san-root DIR --host-iqn IQN] [--san-host IQN=DIR]... [--auto-scan]\n"
    "\n"
    "Serves a simulated QSTA storage appliance over HTTPS (self-signed certificate\n"
    "made at start) until it receives SIGINT or SIGTERM.\n"
    "\n"
    "Options:\n"
    "  --listen ADDR:PORT  address and port to listen on (default 127.0.0.1:8443);\n"
    "                      port 0 picks a free port; IPv6 as [::1]:8443\n"
    "  --access-key KEY    the key every request must carry in \"X-Access-Key\";\n"
    "                      when absent, the environment variable QSTA_ACCESS_KEY is used\n"
    "  --seed FILE         load the model from FILE instead of the default seed\n"
    "                      (format: see tools/qsta-simulator/README.md)\n"
    "  --threads N         request worker threads (default 8)\n"
    "  --data-dir DIR      keep the volumes' data: a sparse image file per volume\n"
    "                      and per snapshot in DIR (one simulator per DIR)\n"
    "  --san-root DIR      play the storage network: show every volume mapped to\n"
    "                      the host entry of --host-iqn as a disk under\n"
    "                      DIR/class/block/sdX (point KORVEL_SYSFS_ROOT at DIR);\n"
    "                      with --data-dir each disk is a loop device on its image\n"
    "  --host-iqn IQN      this host's initiator name (with --san-root)\n"
    "  --san-host IQN=DIR  play the storage network for one more host, its tree\n"
    "                      in DIR (repeatable)\n"
    "  --auto-scan         disks appear and go as soon as the mappings change;\n"
    "                      without it, a newly mapped disk appears when \"- - -\"\n"
    "                      is written to DIR/class/scsi_host/hostN/scan, and an\n"
    "                      unmapped one stays until \"1\" is written to its\n"
    "                      device/delete or the next scan\n"
    "  --quiet             do not log requests\n"
    "  --help              show this text\n"
    "\n"
    "The URL served is printed on the first line. Each request is then logged on\n"
    "one line: time (UTC), client, method, target, status and body size (or\n"
    "\"dropped\"). The access key is never printed.\n"
    "\n"
    "Default seed: volumes vol-1 \"sqldata\", vol-2 \"sqllog\", vol-3 \"fileshare\"\n"
    "in groups cg-1, cg-2, cg-3, and host entry host-1\n"
    "(iqn.2026-01.local.example:backup01, 192.0.2.10).\n";

bool ParseListen(const std::string& text, std::string& address, int& port) {
    std::string host;
    std::string portText;
    if (!text.empty() && text[0] == '[') {
        auto close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            return false;
        }
        host = text.substr(1, close - 1);
        portText = text.substr(close + 2);
    } else {
        auto colon = text.rfind(':');
        if (colon == std::string::npos) {
            return false;
        }
        host = text.substr(0, colon);
        portText = text.substr(colon + 1);
    }
    if (host.empty() || portText.empty() || portText.size() > 5 ||
        portText.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    int value = std::atoi(portText.c_str());
    if (value > 65535) {
        return false;
    }
    address = host;
    port = value;
    return true;
}

int Fail(const std::string& message) {
    std::cerr << "qsta-simulator: " << message << "\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    qsta::Options options;
    options.port = 8443;
    bool quiet = false;
    bool haveKey = false;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                return nullptr;
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--listen") {
            const char* text = value();
            if (text == nullptr || !ParseListen(text, options.listenAddress, options.port)) {
                return Fail("--listen needs ADDR:PORT");
            }
        } else if (arg == "--access-key") {
            const char* text = value();
            if (text == nullptr || *text == '\0') {
                return Fail("--access-key needs a key");
            }
            options.accessKey = text;
            haveKey = true;
        } else if (arg == "--seed") {
            const char* text = value();
            if (text == nullptr || *text == '\0') {
                return Fail("--seed needs a file");
            }
            options.seedFile = text;
        } else if (arg == "--threads") {
            const char* text = value();
            int threads = text == nullptr ? 0 : std::atoi(text);
            if (threads < 1 || threads > 256) {
                return Fail("--threads needs a number from 1 to 256");
            }
            options.threads = static_cast<unsigned>(threads);
        } else if (arg == "--san-root" || arg == "--host-iqn") {
            const char* text = value();
            if (text == nullptr || *text == '\0') {
                return Fail(arg + " needs a value");
            }
            (arg == "--san-root" ? options.sanRoot : options.hostIqn) = text;
        } else if (arg == "--data-dir") {
            const char* text = value();
            if (text == nullptr || *text == '\0') {
                return Fail("--data-dir needs a folder");
            }
            options.dataDir = text;
        } else if (arg == "--san-host") {
            const char* text = value();
            const std::string spec = text == nullptr ? std::string() : text;
            const auto eq = spec.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == spec.size()) {
                return Fail("--san-host needs IQN=DIR");
            }
            options.sanHosts.push_back({spec.substr(0, eq), spec.substr(eq + 1)});
        } else if (arg == "--auto-scan") {
            options.autoScan = true;
        } else if (arg == "--quiet") {
            quiet = true;
        } else {
            std::cerr << kUsage;
            return Fail("unknown argument \"" + arg + "\"");
        }
    }
    if (options.sanRoot.empty() != options.hostIqn.empty()) {
        return Fail("--san-root and --host-iqn go together");
    }
    if (!haveKey) {
        const char* fromEnv = std::getenv("QSTA_ACCESS_KEY");
        if (fromEnv == nullptr || *fromEnv == '\0') {
            return Fail("--access-key is required (see --help)");
        }
        options.accessKey = fromEnv;
    }

    // Block the stop signals before any thread exists, so every thread
    // inherits the mask and only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    static std::mutex outputMutex;
    if (!quiet) {
        options.requestLog = [](const std::string& line) {
            std::lock_guard lock(outputMutex);
            std::fprintf(stdout, "%s\n", line.c_str());
            std::fflush(stdout);
        };
    }

    try {
        qsta::Simulator simulator(options);
        simulator.Start();
        {
            std::lock_guard lock(outputMutex);
            std::fprintf(stdout, "qsta-simulator serving %s (%zu volumes, %zu host entries)\n", simulator.Url().c_str(),
                         simulator.VolumeCount(), simulator.Hosts().size());
            for (const auto& disk : simulator.SanDisks()) {
                std::string device = disk.loopDevice.empty()
                                         ? std::string()
                                         : ", block device " + disk.loopDevice + " (" + std::to_string(disk.major) +
                                               ":" + std::to_string(disk.minor) + ")";
                std::fprintf(stdout, "qsta-simulator disk %s: volume %s%s\n", disk.device.c_str(),
                             disk.volumeName.c_str(), device.c_str());
            }
            std::fflush(stdout);
        }
        int received = 0;
        sigwait(&stopSignals, &received);
        {
            std::lock_guard lock(outputMutex);
            std::fprintf(stdout, "qsta-simulator stopping on %s\n", received == SIGINT ? "SIGINT" : "SIGTERM");
            std::fflush(stdout);
        }
        simulator.Stop();
    } catch (const std::exception& error) {
        return Fail(error.what());
    }
    return 0;
}
