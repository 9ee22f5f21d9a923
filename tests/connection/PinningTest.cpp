// Certificate pinning: an appliance recorded with "CertificatePin" is only
// spoken to while it presents that certificate's key. Two simulators take
// the same address one after the other, each with a certificate of its own.
#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <string>

#include "KConnection.h"
#include "KorvelAccessLibrary.h"
#include "TestEnv.h"
#include "Utilities.h"
#include "qsta/Simulator.h"
#include "registry.h"

using Korvel::KConnection;
using Korvel::KException;
using korvel_test::ThrownText;

namespace {

class PinningTest : public korvel_test::KorvelEnvTest {
protected:
    void SetUp() override {
        KorvelEnvTest::SetUp();
        KConnection::GlobalInit();
        m_first.Start();
        m_address = m_first.Address();
        m_key = m_first.AccessKey();
    }
    void TearDown() override {
        m_second.reset();
        m_first.Stop();
        KConnection::GlobalCleanup();
        KorvelEnvTest::TearDown();
    }

    // Another appliance, with another certificate, answers on the same address.
    void Replace() {
        qsta::Options options;
        options.port = m_first.Port();
        m_first.Stop();
        m_second = std::make_unique<qsta::Simulator>(options);
        m_second->Start();
        ASSERT_EQ(m_second->Address(), m_address);
    }

    // The appliance's entry as the registration tool writes it; no pin: none recorded.
    void Record(const std::string& pin) {
        HKEY key = nullptr;
        const std::string path = "SOFTWARE\\Korvel\\HwProvider\\" + m_address;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(key, "AccessKey", 0, REG_SZ, reinterpret_cast<const BYTE*>(m_key.c_str()),
                       static_cast<DWORD>(m_key.size() + 1));
        if (pin.empty())
            RegDeleteValueA(key, "CertificatePin");
        else
            RegSetValueExA(key, "CertificatePin", 0, REG_SZ, reinterpret_cast<const BYTE*>(pin.c_str()),
                           static_cast<DWORD>(pin.size() + 1));
        RegCloseKey(key);
    }

    // What a new connection object for the entry gets: the number of volumes, or the failure.
    std::string ListVolumes() {
        try {
            KConnection connection(m_address, m_key);
            std::list<Korvel::VolumeInfo> volumes;
            connection.GetVolumesList(&volumes);
            return std::to_string(volumes.size()) + " volumes";
        } catch (const KException& e) {
            return e.what();
        }
    }

    std::string Mismatch() const { return "The certificate of " + m_address + " does not match the recorded one"; }

    qsta::Simulator m_first;
    std::unique_ptr<qsta::Simulator> m_second;
    std::string m_address;
    std::string m_key;
};

TEST_F(PinningTest, RecordedCertificateHoldsAndAnotherIsRefusedBeforeTheKeyIsSent) {
    const std::string pin = KConnection::FetchCertificatePin(m_address);
    EXPECT_TRUE(Korvel::Utilities::IsCertificatePin(pin)) << pin;
    EXPECT_EQ(m_first.JournalSize(), 0u);  // the handshake alone: no request, no key
    Record(pin);
    EXPECT_EQ(ListVolumes(), "3 volumes");

    Replace();
    const std::string newPin = KConnection::FetchCertificatePin(m_address);
    EXPECT_NE(newPin, pin);
    // The pinned entry is refused, and the appliance never saw a request (nor the key).
    EXPECT_EQ(ListVolumes(), Mismatch());
    EXPECT_EQ(ThrownText<KException>([&] { KConnection::ValidateArray(m_address, m_key, pin); }), Mismatch());
    EXPECT_EQ(m_second->JournalSize(), 0u);
    EXPECT_GE(CountLog(0, Mismatch()), 2u);
    const std::string events = korvel_test::ReadFile(LogDir() + "/KorvelProvider.events.log");
    EXPECT_NE(events.find("Error category 1 event 0xC0004015: " + Mismatch()), std::string::npos) << events;

    // An entry without a pin works as it always has.
    Record("");
    EXPECT_EQ(ListVolumes(), "3 volumes");
    // Pinned anew to the certificate it presents now, it works again.
    Record(newPin);
    EXPECT_EQ(ListVolumes(), "3 volumes");
    EXPECT_EQ(KConnection::ValidateArray(m_address, m_key, newPin), 0);
    EXPECT_EQ(m_second->JournalSize(), 3u);
    // No line of all this carries the access key.
    EXPECT_EQ(CountLogContaining(m_key), 0u);
}

// libcurl would take any other text for the name of a key file: such a value
// pins to nothing rather than to a file, and says so.
TEST_F(PinningTest, RecordedValueThatIsNoPinMatchesNoCertificate) {
    for (const std::string& value : {std::string("/etc/ssl/certs/appliance.pem"), std::string("sha256//short=")}) {
        Record(value);
        EXPECT_EQ(ListVolumes(), Mismatch()) << value;
    }
    EXPECT_EQ(CountLog(0, "The recorded certificate pin of " + m_address + " is not valid"), 2u);
    EXPECT_EQ(m_first.JournalSize(), 0u);
}

TEST_F(PinningTest, CertificateOfAnAddressWhereNothingAnswersCannotBeRead) {
    EXPECT_EQ(ThrownText<KException>([] { KConnection::FetchCertificatePin("127.0.0.1:1"); }),
              "Cannot read the certificate of 127.0.0.1:1");
    EXPECT_EQ(CountLog(0, "Cannot read the certificate of 127.0.0.1:1"), 1u);
}

}  // namespace
