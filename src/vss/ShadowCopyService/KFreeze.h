// Application-consistent shadow copies: the administrators' freeze hooks,
// and the filesystems held frozen around the commit, never longer than the
// hold limit, even when this process is killed or the commit hangs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "KHostDisks.h"
#include "KShadowCoordinator.h"

namespace Korvel {

// The executables of a hook folder, run with "freeze" in name order and with
// "thaw" in reverse order. A hook that fails or overruns its time limit ends
// the freeze with a KShadowFailure naming it; the hooks that froze before it
// are thawed first.
class KFreezeHooks {
public:
    using Report = std::function<void(const KShadowStep&)>;
    using Warn = std::function<void(const std::string&)>;

    // Hooks that are not executable, or that anyone but root could change,
    // would run as root on someone else's behalf: they are skipped with a warning.
    KFreezeHooks(const std::string& folder, std::chrono::seconds timeout,
                 std::vector<std::pair<std::string, std::string>> environment, Report report, Warn warn);
    ~KFreezeHooks();  // thaws what froze, if Thaw was not called
    KFreezeHooks(const KFreezeHooks&) = delete;
    KFreezeHooks& operator=(const KFreezeHooks&) = delete;

    bool Empty() const { return m_hooks.empty(); }
    void Freeze();
    // Thaws the hooks that froze, in reverse order; a hook that fails to thaw
    // is reported and the others still run. False when one failed.
    bool Thaw();

private:
    // "" when the hook did what was asked, otherwise why not.
    std::string Run(const std::string& hook, const char* argument);

    std::vector<std::string> m_hooks;
    std::chrono::seconds m_timeout;
    std::vector<std::pair<std::string, std::string>> m_environment;
    Report m_report;
    Warn m_warn;
    size_t m_frozen = 0;  // the first m_frozen hooks froze
};

// The filesystems of these mounts, frozen (FIFREEZE, in the order
// given) by a watchdog process of their own that holds them open and thaws
// them (FITHAW, in reverse order) when told, when the hold limit has passed
// since the first freeze, or at once when this process dies.
class KFreezeWatchdog {
public:
    // Throws KShadowRefusal for a filesystem that cannot be frozen or that
    // is frozen already (which is left as it is), after thawing what it froze.
    KFreezeWatchdog(const std::vector<KMount>& mounts, std::chrono::milliseconds holdLimit);
    ~KFreezeWatchdog();
    KFreezeWatchdog(const KFreezeWatchdog&) = delete;
    KFreezeWatchdog& operator=(const KFreezeWatchdog&) = delete;

    // Thaws now. False when the hold limit had thawed them already.
    bool Thaw();
    // From the first freeze to the last thaw, once thawed.
    std::chrono::microseconds Held() const { return m_held; }

private:
    pid_t m_pid = -1;
    int m_control = -1;  // write end: "T", or closed when this process dies
    int m_status = -1;   // read end of the watchdog's reports
    bool m_thawed = false;
    std::chrono::microseconds m_held{0};
};

}  // namespace Korvel
