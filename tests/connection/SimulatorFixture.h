// A connection to an in-process appliance simulator over real HTTPS.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "KConnection.h"
#include "TestEnv.h"
#include "qsta/Simulator.h"

namespace korvel_test {

class SimulatorTest : public KorvelEnvTest {
protected:
    void SetUp() override {
        KorvelEnvTest::SetUp();
        m_sim.Start();
        m_conn = std::make_unique<Korvel::KConnection>(m_sim.Address(), m_sim.AccessKey());
        m_setUpLines = LogMessages().size();
    }

    // Log messages written after the fixture built its connection, in order.
    std::vector<std::string> TestMessages() const {
        const auto all = LogMessages();
        return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(std::min(m_setUpLines, all.size())),
                                        all.end());
    }

    void TearDown() override {
        m_conn.reset();
        m_sim.Stop();
        Korvel::KConnection::SetTransferLimitsForTesting(Korvel::KConnection::TransferLimits());
        KorvelEnvTest::TearDown();
    }

    // Address and key of the running simulator, as a caller would configure them.
    std::string Address() const { return m_sim.Address(); }
    std::string Key() const { return m_sim.AccessKey(); }

    // The journal's only request; fails the test when there is not exactly one.
    qsta::JournalEntry OnlyRequest() const {
        auto journal = m_sim.Journal();
        EXPECT_EQ(1u, journal.size());
        return journal.empty() ? qsta::JournalEntry() : journal.back();
    }

    qsta::Simulator m_sim;
    std::unique_ptr<Korvel::KConnection> m_conn;
    size_t m_setUpLines = 0;
};

}  // namespace korvel_test
