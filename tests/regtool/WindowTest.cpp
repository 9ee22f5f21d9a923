// The window, headless (offscreen platform), driven through its widgets
// against a real store and a simulator. Modal dialogs are answered by a
// timer that finds them as the application's active modal widget. The
// appliance checks answer on the window's thread pool, so the tests wait
// for their answers as a user would.
#include <qsta/Simulator.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QElapsedTimer>
#include <QTimer>
#include <QTreeView>
#include <QtTest/QTest>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
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

// Long enough for any check the tests make; each ends well before.
constexpr int kCheckWaitMs = 60000;

struct EntryOutcome {
    std::string caption;
    std::string error;  // the error label's text, "" when the dialog closed
    bool errorFits = true;                    // the whole error line is inside the dialog
    bool buttonsWaited = true;                // Save and Cancel were disabled while Save's checks ran
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
        auto* entry = dynamic_cast<CArrayEntryDialog*>(dialog);
        auto* save = Find<QPushButton>(dialog, IDOK);
        auto* cancel = Find<QPushButton>(dialog, IDCANCEL);
        save->click();
        if (entry->isChecking()) outcome.buttonsWaited = !save->isEnabled() && !cancel->isEnabled();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !dialog->isVisible() || !entry->isChecking(); }, kCheckWaitMs));
        questions.stop();
        outcome.certificate = certificateLabel->text().toStdString();
        if (dialog->isVisible()) {
            auto* label = Find<QLabel>(dialog, IDC_ERRORTEXT);
            outcome.error = label->isVisible() ? label->text().toStdString() : "<hidden>";
            EXPECT_EQ(outcome.error, entry->errorText());
            QTest::qWait(0);  // the layout follows the label's new text
            outcome.errorFits = label->width() >= label->sizeHint().width() &&
                                dialog->rect().contains(label->geometry());
            cancel->click();
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
        m_list = Find<QTreeView>(m_window.get(), IDC_KORVELARRAYLIST);
        m_filter = Find<QLineEdit>(m_window.get(), IDC_FILTER);
    }
    // Opens the window and waits until every row's check has answered.
    void OpenChecked() {
        Open();
        EXPECT_TRUE(QTest::qWaitFor(
            [this] {
                const std::vector<std::string> online = Online();
                return std::find(online.begin(), online.end(), KORVEL_CHECKING) == online.end();
            },
            kCheckWaitMs));
    }
    std::string Cell(int row, int column) const {
        return m_list->model()->index(row, column).data().toString().toStdString();
    }
    // Rows as the list shows them: "address online key".
    std::vector<std::string> Rows() const {
        std::vector<std::string> rows;
        for (int i = 0; i < m_list->model()->rowCount(); ++i)
            rows.push_back(Cell(i, 0) + " " + Cell(i, 1) + " " + Cell(i, 2));
        return rows;
    }
    std::vector<std::string> Online() const {
        std::vector<std::string> online;
        for (int i = 0; i < m_list->model()->rowCount(); ++i) online.push_back(Cell(i, 1));
        return online;
    }
    void Select(int row) {
        m_list->selectionModel()->select(m_list->model()->index(row, 0),
                                         QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    QPushButton* Button(int id) { return Find<QPushButton>(m_window.get(), id); }
    QAction* Command(int id) { return Find<QAction>(m_window.get(), id); }
    void Record(const std::string& name, const std::string& key) { WriteText(EntryKey(name), "AccessKey", key); }

    qsta::Simulator m_sim;
    std::unique_ptr<CKorvelRegGUI> m_window;
    QTreeView* m_list = nullptr;
    QLineEdit* m_filter = nullptr;
};

TEST_F(WindowTest, StartsWithTheStoredAppliancesAndKeepsTheTracingMenuInStep) {
    SKIP_WITHOUT_ICMP();
    Record(m_sim.Address(), m_sim.AccessKey());
    Record("127.0.0.1:1", "unused-key");
    WriteText(StoreKey(), "LogLevel", "7");
    OpenChecked();

    EXPECT_EQ("KorvelRegTool", m_window->windowTitle().toStdString());
    auto header = [this](int column) { return m_list->model()->headerData(column, Qt::Horizontal).toString(); };
    EXPECT_EQ("QSTA IP|Online|AccessKey", (header(0) + "|" + header(1) + "|" + header(2)).toStdString());
    EXPECT_TRUE(m_list->isColumnHidden(2));
    EXPECT_EQ((std::vector<std::string>{"127.0.0.1:1 no unused-key",
                                        m_sim.Address() + " yes " + m_sim.AccessKey()}),
              Rows());
    EXPECT_EQ("", m_filter->text().toStdString());
    EXPECT_EQ(KORVEL_FILTER_PLACEHOLDER, m_filter->placeholderText().toStdString());
    EXPECT_TRUE(Button(IDC_NEWENTRY)->isEnabled());
    EXPECT_FALSE(Button(IDC_MODIFYENTRY)->isEnabled());
    EXPECT_FALSE(Button(IDC_DELETEENTRY)->isEnabled());
    EXPECT_EQ(1u, CountLog(3, "Entering CDialogEx::OnInitDialog()"));
    EXPECT_EQ(1u, CountLog(3, "Exiting CDialogEx::OnInitDialog()"));

    // The list takes whatever room the window is given.
    const QSize list = m_list->size();
    m_window->resize(m_window->size() + QSize(200, 100));
    EXPECT_TRUE(QTest::qWaitFor([&] { return m_list->size() == list + QSize(200, 100); }, 5000))
        << m_list->width() << "x" << m_list->height();

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
    OpenChecked();
    EXPECT_TRUE(Command(ID_LOGLEVEL_ERROR + 2)->isChecked());
    EXPECT_FALSE(Command(ID_EDIT_LOGGING)->isChecked());
    EXPECT_FALSE(static_cast<QMenu*>(Command(ID_LOGLEVEL_TRACE)->parent())->menuAction()->isEnabled());
    EXPECT_EQ("Disabled", ReadText(StoreKey(), "Tracing"));
    EXPECT_EQ("high", ReadText(StoreKey(), "LogLevel"));
}

TEST_F(WindowTest, AddingAnApplianceChecksItBeforeRecordingIt) {
    SKIP_WITHOUT_ICMP();
    OpenChecked();
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
        EXPECT_TRUE(outcome.errorFits) << attempt.error;
        EXPECT_TRUE(outcome.buttonsWaited) << attempt.ip;
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
    OpenChecked();
    ASSERT_EQ(2u, Rows().size());  // 127.0.0.1:port, then localhost:port

    // Moving the second row onto the first row's address is refused.
    Select(1);
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
    Select(1);
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
    OpenChecked();
    EXPECT_EQ(std::vector<std::string>{address + " no " + m_sim.AccessKey()}, Rows());  // refused by its pin
    EXPECT_EQ(0u, replacement.JournalSize());

    const std::string question = "Certificate of the QST Array|The Korvel QST Array at " + address +
                                 " presents a certificate other than the recorded one.\nRecorded: " + oldPin +
                                 "\nPresented: " + newPin + "\n\nRecord the new certificate?";
    Select(0);
    EntryOutcome declined;
    AnswerEntry(declined, std::nullopt, std::nullopt, QMessageBox::No);
    Button(IDC_MODIFYENTRY)->click();
    EXPECT_EQ("Certificate: " + oldPin, declined.shownCertificate);
    EXPECT_EQ(std::vector<std::string>{question}, declined.questions);
    EXPECT_EQ("Error : Certificate not accepted. Nothing was recorded", declined.error);
    EXPECT_EQ(oldPin, ReadText(EntryKey(address), "CertificatePin"));
    EXPECT_EQ(0u, replacement.JournalSize());  // the key was never sent to it

    m_list->clearSelection();
    Select(0);
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
    Select(0);
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
    OpenChecked();
    Select(0);
    Select(1);
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
    OpenChecked();
    m_filter->setFocus();
    QTest::keyClicks(m_filter, "LOCAL");
    EXPECT_EQ("local", m_filter->text().toStdString());
    EXPECT_EQ(3u, Rows().size());  // typing alone filters nothing
    QTest::keyClick(m_filter, Qt::Key_Return);
    EXPECT_EQ(std::vector<std::string>{"localhost:3 no k"}, Rows());
    EXPECT_TRUE(m_window->isVisible());  // Enter does not close the window
    EXPECT_TRUE(m_list->hasFocus());

    Select(0);
    QTest::keyClick(m_list, Qt::Key_Escape);
    EXPECT_TRUE(m_window->isVisible());
    EXPECT_EQ("", m_filter->text().toStdString());  // the placeholder shows again
    EXPECT_EQ(3u, Rows().size());
    EXPECT_FALSE(m_list->selectionModel()->hasSelection());
    EXPECT_FALSE(Button(IDC_DELETEENTRY)->isEnabled());

    // An empty filter shows every row.
    m_filter->setFocus();
    QTest::keyClick(m_filter, Qt::Key_Return);
    EXPECT_EQ(3u, Rows().size());
    EXPECT_EQ(3u, CountLog(3, "Entering CKorvelRegGUI::OnEnChangeFilter()"));
}

// Ten recorded appliances that do not answer: the window shows them at
// once, stays responsive, and each row turns "no" after its own echo's
// time-out. Deleting a row or closing the entry dialog while its check runs
// drops that check's answer. 127.0.0.1 is made silent in a network
// namespace of the test's own: the test runs itself again in one.
TEST_F(WindowTest, SilentAppliancesNeitherFreezeTheWindowNorWaitForEachOther) {
    if (std::getenv("KORVEL_TEST_SILENT_NETWORK") == nullptr) {
        SKIP_WITHOUT_ICMP();
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
        const std::string result = RunInPrivateNetwork(
            {{"ping_group_range", "0 2147483647"}, {"icmp_echo_ignore_all", "1"}}, [&filter]() -> std::string {
                setenv("KORVEL_TEST_SILENT_NETWORK", "1", 1);
                std::string self = "/proc/self/exe", argument = filter;
                char* argv[] = {&self[0], &argument[0], nullptr};
                execv(self.c_str(), argv);
                return "cannot run the test again: " + std::string(strerror(errno));
            });
        if (result.rfind("SKIP: ", 0) == 0) GTEST_SKIP() << result.substr(6);
        EXPECT_EQ("", result) << "the run in the silent network printed its failures above";
        return;
    }
    ASSERT_EQ("", IcmpUnavailableReason());
    {
        // The first window of a process loads fonts and styles.
        CKorvelRegGUI warmUp;
        warmUp.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&warmUp));
    }
    std::vector<std::string> silent;
    for (int port = 1; port <= 10; ++port) {
        silent.push_back("127.0.0.1:" + std::to_string(port));
        Record(silent.back(), "k");
    }

    QElapsedTimer clock;
    clock.start();
    m_window = std::make_unique<CKorvelRegGUI>();
    m_window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_window.get()));
    m_list = Find<QTreeView>(m_window.get(), IDC_KORVELARRAYLIST);
    QTest::mouseClick(m_list->viewport(), Qt::LeftButton, {},
                      m_list->visualRect(m_list->model()->index(0, 0)).center());
    EXPECT_TRUE(Button(IDC_DELETEENTRY)->isEnabled());
    EXPECT_LT(clock.elapsed(), 200);
    EXPECT_EQ(std::vector<std::string>(10, KORVEL_CHECKING), Online());
    EXPECT_FALSE(Button(IDC_MODIFYENTRY)->isEnabled());  // its key comes with its check

    // The first row goes while its check runs.
    AnswerModal([](QWidget* box) { dynamic_cast<QMessageBox*>(box)->button(QMessageBox::Ok)->click(); });
    Button(IDC_DELETEENTRY)->click();
    EXPECT_FALSE(KeyExists(EntryKey(silent[0])));

    // So does an entry dialog: closed while Save's echo waits, it records nothing.
    bool waited = false;
    AnswerModal([&waited](QWidget* dialog) {
        Find<QLineEdit>(dialog, IDC_ARRAYIP)->setText("127.0.0.1:11");
        Find<QLineEdit>(dialog, IDC_ACCESSKEY)->setText("k");
        Find<QPushButton>(dialog, IDOK)->click();
        waited = dynamic_cast<CArrayEntryDialog*>(dialog)->isChecking() &&
                 !Find<QPushButton>(dialog, IDOK)->isEnabled() && !Find<QPushButton>(dialog, IDCANCEL)->isEnabled();
        QTest::keyClick(dialog, Qt::Key_Escape);
    });
    Button(IDC_NEWENTRY)->click();
    EXPECT_TRUE(waited);
    EXPECT_FALSE(KeyExists(EntryKey("127.0.0.1:11")));

    // Each row answers after its echo's time-out (1 s); one after another
    // they would need ten.
    std::map<std::string, qint64> answered;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            for (int row = 0; row < m_list->model()->rowCount(); ++row)
                if (Cell(row, 1) != KORVEL_CHECKING && answered.count(Cell(row, 0)) == 0)
                    answered[Cell(row, 0)] = clock.elapsed();
            return answered.size() == 9;
        },
        kCheckWaitMs));
    for (const auto& row : answered) {
        EXPECT_GE(row.second, 1000) << row.first;
        EXPECT_LT(row.second, 10000) << row.first;
    }
    std::vector<std::string> expected, rows = Rows();
    for (size_t i = 1; i < silent.size(); ++i) expected.push_back(silent[i] + " no k");
    std::sort(expected.begin(), expected.end());
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(expected, rows);

    // The deleted row's and the dialog's checks ran to their end, answering no one.
    m_window.reset();
    EXPECT_EQ(11u, CountLog(3, "Exiting IsArrayExists() Result: 0"));
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
