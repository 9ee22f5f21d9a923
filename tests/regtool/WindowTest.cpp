// The window, headless (offscreen platform), driven through its widgets
// against a real store and a simulator. Modal dialogs are answered by a
// timer that finds them as the application's active modal widget.
#include <qsta/Simulator.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest/QTest>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "KorvelAccessLibrary.h"
#include "KorvelRegGUI.h"
#include "RegToolEnv.h"

using namespace korvel_test;

namespace {

template <typename T>
T* Find(QObject* root, int id) {
    T* found = root->findChild<T*>(QString::number(id));
    EXPECT_NE(nullptr, found) << id;
    return found;
}

// Runs `answer` on the next modal dialog once it is open.
void AnswerModal(std::function<void(QWidget*)> answer) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, answer] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            poll->stop();
            poll->deleteLater();
            answer(modal);
        }
    });
    poll->start(10);
}

struct EntryOutcome {
    std::string caption;
    std::string error;  // the error label's text, "" when the dialog closed
    std::string shownIP, shownKey;
    std::string shownCertificate;             // the certificate line when the dialog opened
    std::string certificate;                  // and after Save
    std::vector<std::string> questions;       // "title|text" of each question Save asked
};

// Fills the entry dialog (no text keeps what it shows), presses Save, answers
// the certificate question with `certificate` when one comes, and cancels
// the dialog when it stays open.
void AnswerEntry(EntryOutcome& outcome, std::optional<std::string> ip, std::optional<std::string> key,
                 QMessageBox::StandardButton certificate = QMessageBox::Yes) {
    AnswerModal([&outcome, ip, key, certificate](QWidget* dialog) {
        outcome.caption = dialog->windowTitle().toStdString();
        auto* ipEdit = Find<QLineEdit>(dialog, IDC_ARRAYIP);
        auto* keyEdit = Find<QLineEdit>(dialog, IDC_ACCESSKEY);
        auto* certificateLabel = Find<QLabel>(dialog, IDC_CERTIFICATE);
        outcome.shownIP = ipEdit->text().toStdString();
        outcome.shownKey = keyEdit->text().toStdString();
        outcome.shownCertificate = certificateLabel->text().toStdString();
        if (ip) ipEdit->setText(QString::fromStdString(*ip));
        if (key) keyEdit->setText(QString::fromStdString(*key));
        QTimer questions;
        QObject::connect(&questions, &QTimer::timeout, [&outcome, dialog, certificate] {
            auto* box = dynamic_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || box == dialog) return;
            outcome.questions.push_back(box->windowTitle().toStdString() + "|" + box->text().toStdString());
            box->button(certificate)->click();
        });
        questions.start(10);
        Find<QPushButton>(dialog, IDOK)->click();
        questions.stop();
        outcome.certificate = certificateLabel->text().toStdString();
        if (dialog->isVisible()) {
            auto* label = Find<QLabel>(dialog, IDC_ERRORTEXT);
            outcome.error = label->isVisible() ? label->text().toStdString() : "<hidden>";
            Find<QPushButton>(dialog, IDCANCEL)->click();
        }
    });
}

class WindowTest : public KorvelEnvTest {
protected:
    void SetUp() override {
        KorvelEnvTest::SetUp();
        m_sim.Start();
        Korvel::KAccessLayer::GlobalInit();
        WriteText(StoreKey(), "Tracing", "Enabled");
        WriteText(StoreKey(), "LogLevel", "2");
    }
    void TearDown() override {
        Korvel::KAccessLayer::GlobalCleanup();
        m_sim.Stop();
        KorvelEnvTest::TearDown();
    }
    void Open() {
        m_window = std::make_unique<CKorvelRegGUI>();
        m_window->show();
        m_window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get()));
        m_list = Find<QTreeWidget>(m_window.get(), IDC_KORVELARRAYLIST);
        m_filter = Find<QLineEdit>(m_window.get(), IDC_FILTER);
    }
    // Rows as "address online key".
    std::vector<std::string> Rows() const {
        std::vector<std::string> rows;
        for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
            auto* item = m_list->topLevelItem(i);
            rows.push_back((item->text(0) + " " + item->text(1) + " " + item->text(2)).toStdString());
        }
        return rows;
    }
    QPushButton* Button(int id) { return Find<QPushButton>(m_window.get(), id); }
    QAction* Command(int id) { return Find<QAction>(m_window.get(), id); }
    void Record(const std::string& name, const std::string& key) { WriteText(EntryKey(name), "AccessKey", key); }

    qsta::Simulator m_sim;
    std::unique_ptr<CKorvelRegGUI> m_window;
    QTreeWidget* m_list = nullptr;
    QLineEdit* m_filter = nullptr;
};

TEST_F(WindowTest, StartsWithTheStoredAppliancesAndKeepsTheTracingMenuInStep) {
    SKIP_WITHOUT_ICMP();
    Record(m_sim.Address(), m_sim.AccessKey());
    Record("127.0.0.1:1", "unused-key");
    WriteText(StoreKey(), "LogLevel", "7");
    Open();

    EXPECT_EQ("KorvelRegTool", m_window->windowTitle().toStdString());
    auto* header = m_list->headerItem();
    EXPECT_EQ("QSTA IP|Online|AccessKey",
              (header->text(0) + "|" + header->text(1) + "|" + header->text(2)).toStdString());
    EXPECT_TRUE(m_list->isColumnHidden(2));
    EXPECT_EQ((std::vector<std::string>{"127.0.0.1:1 no unused-key",
                                        m_sim.Address() + " yes " + m_sim.AccessKey()}),
              Rows());
    EXPECT_EQ(KORVEL_FILTER_PLACEHOLDER, m_filter->text().toStdString());
    EXPECT_TRUE(Button(IDC_NEWENTRY)->isEnabled());
    EXPECT_FALSE(Button(IDC_MODIFYENTRY)->isEnabled());
    EXPECT_FALSE(Button(IDC_DELETEENTRY)->isEnabled());
    EXPECT_EQ(1u, CountLog(3, "Entering CDialogEx::OnInitDialog()"));
    EXPECT_EQ(1u, CountLog(3, "Exiting CDialogEx::OnInitDialog()"));

    // A stored level of 7 shows as INFO and is written back.
    EXPECT_TRUE(Command(ID_LOGLEVEL_ERROR + 2)->isChecked());
    EXPECT_TRUE(Command(ID_EDIT_LOGGING)->isChecked());
    EXPECT_EQ("2", ReadText(StoreKey(), "LogLevel"));

    // The menu writes the store: a level, then tracing off (the level stays
    // and its menu greys), then on again.
    Command(ID_LOGLEVEL_TRACE)->trigger();
    EXPECT_EQ("4", ReadText(StoreKey(), "LogLevel"));
    Command(ID_EDIT_LOGGING)->trigger();
    EXPECT_EQ("Disabled", ReadText(StoreKey(), "Tracing"));
    EXPECT_EQ("4", ReadText(StoreKey(), "LogLevel"));
    EXPECT_FALSE(Command(ID_EDIT_LOGGING)->isChecked());
    auto* levelMenu = Command(ID_LOGLEVEL_TRACE)->parent();
    EXPECT_FALSE(static_cast<QMenu*>(levelMenu)->menuAction()->isEnabled());
    WriteText(StoreKey(), "LogLevel", "1");
    Command(ID_EDIT_LOGGING)->trigger();
    EXPECT_EQ("Enabled", ReadText(StoreKey(), "Tracing"));
    EXPECT_EQ("4", ReadText(StoreKey(), "LogLevel"));
    EXPECT_TRUE(static_cast<QMenu*>(levelMenu)->menuAction()->isEnabled());
    EXPECT_EQ(3u, CountLog(3, "Entering CKorvelRegGUI::OnEditLevel()"));

    // Tracing off with a level that is no number: INFO shown, the level menu
    // greyed, and only "Tracing" rewritten.
    m_window.reset();
    WriteText(StoreKey(), "Tracing", "disabled");
    WriteText(StoreKey(), "LogLevel", "high");
    Open();
    EXPECT_TRUE(Command(ID_LOGLEVEL_ERROR + 2)->isChecked());
    EXPECT_FALSE(Command(ID_EDIT_LOGGING)->isChecked());
    EXPECT_FALSE(static_cast<QMenu*>(Command(ID_LOGLEVEL_TRACE)->parent())->menuAction()->isEnabled());
    EXPECT_EQ("Disabled", ReadText(StoreKey(), "Tracing"));
    EXPECT_EQ("high", ReadText(StoreKey(), "LogLevel"));
}

TEST_F(WindowTest, AddingAnApplianceChecksItBeforeRecordingIt) {
    SKIP_WITHOUT_ICMP();
    Open();
    ASSERT_TRUE(Rows().empty());
    struct Attempt {
        std::string ip;
        std::string key;
        std::string error;
    };
    const std::string address = m_sim.Address();
    const std::vector<Attempt> refused = {
        {"  ", "", "Error : Invalid input. Please provide valid inputs and try again"},
        {"no-such-appliance..invalid", "key", "Error : Cannot connect to Korvel QSTA. Check the inputs and try again"},
        {address, "wrong-key", "Error : Invalid access Key. Check access Key and try again"},
        {address, "", "Error : Invalid access Key. Check access Key and try again"},
    };
    for (const auto& attempt : refused) {
        EntryOutcome outcome;
        AnswerEntry(outcome, attempt.ip, attempt.key);
        Button(IDC_NEWENTRY)->click();
        EXPECT_EQ("Add Korvel QST Array", outcome.caption);
        EXPECT_EQ(attempt.error, outcome.error) << attempt.ip;
    }
    EXPECT_FALSE(KeyExists(EntryKey(address)));
    EXPECT_TRUE(Rows().empty());

    // The certificate it presents is shown before anything is recorded; refused, nothing is.
    const std::string pin = Korvel::KAccessLayer::GetCertificatePin(address);
    const std::string question = "Certificate of the QST Array|The Korvel QST Array at " + address +
                                 " presents the certificate\n" + pin + "\n\nRecord the array with this certificate?";
    EntryOutcome declined;
    AnswerEntry(declined, address, m_sim.AccessKey(), QMessageBox::No);
    Button(IDC_NEWENTRY)->click();
    EXPECT_EQ("Certificate: read when saved", declined.shownCertificate);
    EXPECT_EQ(std::vector<std::string>{question}, declined.questions);
    EXPECT_EQ("Error : Certificate not accepted. Nothing was recorded", declined.error);
    EXPECT_FALSE(KeyExists(EntryKey(address)));

    // Blanks around the texts are dropped; the appliance answers and is recorded with its certificate.
    EntryOutcome added;
    AnswerEntry(added, " " + address + " ", m_sim.AccessKey() + " ");
    Button(IDC_NEWENTRY)->click();
    EXPECT_EQ("", added.error);
    EXPECT_EQ(std::vector<std::string>{question}, added.questions);
    EXPECT_EQ("Certificate: " + pin, added.certificate);
    EXPECT_EQ(m_sim.AccessKey(), ReadText(EntryKey(address), "AccessKey"));
    EXPECT_EQ(pin, ReadText(EntryKey(address), "CertificatePin"));
    EXPECT_EQ(std::vector<std::string>{address + " yes " + m_sim.AccessKey()}, Rows());

    // The same address again: pinged and checked, then refused as listed.
    EntryOutcome again;
    AnswerEntry(again, address, m_sim.AccessKey());
    Button(IDC_NEWENTRY)->click();
    EXPECT_EQ("Error : Korvel QSTA IP already in use", again.error);
    EXPECT_EQ(1u, Rows().size());
    EXPECT_EQ(0u, CountLogContaining(m_sim.AccessKey()));
}

TEST_F(WindowTest, ModifyingTheKeyOnlyReKeysTheEntry) {
    SKIP_WITHOUT_ICMP();
    const std::string other = "localhost:" + std::to_string(m_sim.Port());
    Record(m_sim.Address(), m_sim.AccessKey());
    Record(other, m_sim.AccessKey());
    Open();
    ASSERT_EQ(2u, Rows().size());  // 127.0.0.1:port, then localhost:port

    // Moving the second row onto the first row's address is refused.
    m_list->topLevelItem(1)->setSelected(true);
    EXPECT_TRUE(Button(IDC_MODIFYENTRY)->isEnabled());
    EntryOutcome clash;
    AnswerEntry(clash, m_sim.Address(), std::nullopt);
    Button(IDC_MODIFYENTRY)->click();
    EXPECT_EQ("Modify Korvel QST Array", clash.caption);
    EXPECT_EQ(other, clash.shownIP);
    EXPECT_EQ(m_sim.AccessKey(), clash.shownKey);
    EXPECT_EQ("Error : Korvel QSTA IP already in use", clash.error);

    // The appliance was given a new key; only the key changes.
    m_sim.SetAccessKey("rotated-access-key-0042");
    m_list->clearSelection();
    m_list->topLevelItem(1)->setSelected(true);
    EntryOutcome rekeyed;
    AnswerEntry(rekeyed, std::nullopt, "rotated-access-key-0042");
    Button(IDC_MODIFYENTRY)->click();
    EXPECT_EQ("", rekeyed.error);
    EXPECT_EQ("rotated-access-key-0042", ReadText(EntryKey(other), "AccessKey"));
    EXPECT_EQ(m_sim.AccessKey(), ReadText(EntryKey(other), "AccessKey"));
    EXPECT_EQ(other + " yes rotated-access-key-0042", Rows()[1]);
    EXPECT_EQ(1u, CountLogContaining("Entering UpdateKorvelArrayKey()"));
    EXPECT_EQ(0u, CountLogContaining("Entering UpdateKorvelArrayName()"));
    EXPECT_EQ(0u, CountLogContaining("rotated-access-key-0042"));
}

// The appliance at a recorded address now presents another certificate (a
// replaced appliance, or someone in between): modifying the entry asks
// before anything is sent to it or recorded.
TEST_F(WindowTest, ModifyingAnEntryWhoseApplianceHasANewCertificateAsksBeforeRePinning) {
    SKIP_WITHOUT_ICMP();
    const std::string address = m_sim.Address();
    const std::string oldPin = Korvel::KAccessLayer::GetCertificatePin(address);
    Record(address, m_sim.AccessKey());
    WriteText(EntryKey(address), "CertificatePin", oldPin);
    qsta::Options options;
    options.port = m_sim.Port();
    m_sim.Stop();
    qsta::Simulator replacement(options);
    replacement.Start();
    const std::string newPin = Korvel::KAccessLayer::GetCertificatePin(address);
    ASSERT_NE(oldPin, newPin);
    Open();
    EXPECT_EQ(std::vector<std::string>{address + " no " + m_sim.AccessKey()}, Rows());  // refused by its pin
    EXPECT_EQ(0u, replacement.JournalSize());

    const std::string question = "Certificate of the QST Array|The Korvel QST Array at " + address +
                                 " presents a certificate other than the recorded one.\nRecorded: " + oldPin +
                                 "\nPresented: " + newPin + "\n\nRecord the new certificate?";
    m_list->topLevelItem(0)->setSelected(true);
    EntryOutcome declined;
    AnswerEntry(declined, std::nullopt, std::nullopt, QMessageBox::No);
    Button(IDC_MODIFYENTRY)->click();
    EXPECT_EQ("Certificate: " + oldPin, declined.shownCertificate);
    EXPECT_EQ(std::vector<std::string>{question}, declined.questions);
    EXPECT_EQ("Error : Certificate not accepted. Nothing was recorded", declined.error);
    EXPECT_EQ(oldPin, ReadText(EntryKey(address), "CertificatePin"));
    EXPECT_EQ(0u, replacement.JournalSize());  // the key was never sent to it

    m_list->clearSelection();
    m_list->topLevelItem(0)->setSelected(true);
    EntryOutcome accepted;
    AnswerEntry(accepted, std::nullopt, std::nullopt, QMessageBox::Yes);
    Button(IDC_MODIFYENTRY)->click();
    EXPECT_EQ(std::vector<std::string>{question}, accepted.questions);
    EXPECT_EQ("", accepted.error);
    EXPECT_EQ(newPin, ReadText(EntryKey(address), "CertificatePin"));
    EXPECT_EQ(m_sim.AccessKey(), ReadText(EntryKey(address), "AccessKey"));
    EXPECT_EQ(std::vector<std::string>{address + " yes " + m_sim.AccessKey()}, Rows());

    // The same certificate again: nothing to ask.
    m_list->clearSelection();
    m_list->topLevelItem(0)->setSelected(true);
    EntryOutcome unchanged;
    AnswerEntry(unchanged, std::nullopt, std::nullopt, QMessageBox::No);
    Button(IDC_MODIFYENTRY)->click();
    EXPECT_TRUE(unchanged.questions.empty());
    EXPECT_EQ("", unchanged.error);
    EXPECT_EQ(0u, CountLogContaining(m_sim.AccessKey()));
}

TEST_F(WindowTest, DeletingAsksForEachRowAndCancelStops) {
    SKIP_WITHOUT_ICMP();
    for (const char* name : {"127.0.0.1:1", "127.0.0.1:2", "localhost:3"}) Record(name, "k");
    Open();
    m_list->topLevelItem(0)->setSelected(true);
    m_list->topLevelItem(1)->setSelected(true);
    EXPECT_FALSE(Button(IDC_MODIFYENTRY)->isEnabled());
    EXPECT_TRUE(Button(IDC_DELETEENTRY)->isEnabled());

    std::vector<std::string> asked;
    std::function<void(QWidget*)> answer = [&](QWidget* modal) {
        auto* box = dynamic_cast<QMessageBox*>(modal);
        ASSERT_NE(nullptr, box);
        asked.push_back(box->windowTitle().toStdString() + "|" + box->text().toStdString());
        if (asked.size() == 1) {
            AnswerModal(answer);  // the second question follows
            box->button(QMessageBox::Ok)->click();
        } else {
            box->button(QMessageBox::Cancel)->click();
        }
    };
    AnswerModal(answer);
    Button(IDC_DELETEENTRY)->click();
    EXPECT_EQ((std::vector<std::string>{
                  "Remove QST Array|Are you sure you want to remove this Korvel QST Array?\nQSTA IP: 127.0.0.1:1",
                  "Remove QST Array|Are you sure you want to remove this Korvel QST Array?\nQSTA IP: 127.0.0.1:2"}),
              asked);
    EXPECT_FALSE(KeyExists(EntryKey("127.0.0.1:1")));
    EXPECT_TRUE(KeyExists(EntryKey("127.0.0.1:2")));
    EXPECT_EQ((std::vector<std::string>{"127.0.0.1:2 no k", "localhost:3 no k"}), Rows());
    EXPECT_EQ(0u, CountLog(3, "Exiting CKorvelRegGUI::OnBnClickedDeleteentry()"));
}

TEST_F(WindowTest, FilterShowsMatchingAddressesOnEnterAndEscapeRestoresAll) {
    SKIP_WITHOUT_ICMP();
    for (const char* name : {"127.0.0.1:1", "127.0.0.1:2", "localhost:3"}) Record(name, "k");
    Open();
    m_filter->setFocus();
    EXPECT_EQ("", m_filter->text().toStdString());  // the placeholder gives way
    QTest::keyClicks(m_filter, "LOCAL");
    EXPECT_EQ("local", m_filter->text().toStdString());
    QTest::keyClick(m_filter, Qt::Key_Return);
    EXPECT_EQ(std::vector<std::string>{"localhost:3 no k"}, Rows());
    EXPECT_TRUE(m_window->isVisible());  // Enter does not close the window
    EXPECT_TRUE(m_list->hasFocus());

    m_list->topLevelItem(0)->setSelected(true);
    QTest::keyClick(m_list, Qt::Key_Escape);
    EXPECT_TRUE(m_window->isVisible());
    EXPECT_EQ(KORVEL_FILTER_PLACEHOLDER, m_filter->text().toStdString());
    EXPECT_EQ(3u, Rows().size());
    EXPECT_TRUE(m_list->selectedItems().isEmpty());
    EXPECT_FALSE(Button(IDC_DELETEENTRY)->isEnabled());

    // An empty filter shows every row.
    m_filter->setFocus();
    QTest::keyClick(m_filter, Qt::Key_Return);
    EXPECT_EQ(3u, Rows().size());
    EXPECT_GE(CountLog(3, "Entering CKorvelRegGUI::PreTranslateMessage()"), 7u);
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
