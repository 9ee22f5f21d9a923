// Runs the KorvelShadow command as a child process in the provider tests'
// environment: simulators playing the SAN, a private store, catalogue and log.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "KShadowCatalogue.h"
#include "ProviderEnv.h"

namespace korvel_test {

struct CommandResult {
    int exitCode = -1;  // -1: killed or timed out
    std::string out;
    std::string err;
};

class ShadowTest : public ProviderTest {
protected:
    void SetUp() override;

    // Writes the hardware provider's registration record, as installing the provider does.
    void RegisterProvider();
    // KorvelShadow with these arguments; gives up (and kills it) after 60 s.
    CommandResult Shadow(const std::vector<std::string>& args);
    // Starts KorvelShadow with output discarded; the caller waits for it.
    pid_t StartShadow(const std::vector<std::string>& args);

    std::vector<Korvel::KShadowCopyEntry> Catalogue() const;

    // The commands create the provider in their own process ("--in-process");
    // false: they reach it in the KorvelProvider server.
    bool m_inProcess = true;
    const std::string& CataloguePath() const { return m_catalogue; }

private:
    std::string m_catalogue;
};

// The text of a JSON string field "name":"..." at its first occurrence after `from`.
std::string JsonField(const std::string& json, const std::string& name, size_t from = 0);

}  // namespace korvel_test
