// The registration tool's dialogs: the main window CKorvelRegGUI, the entry
// dialog CArrayEntryDialog and CAboutDlg, in Qt Widgets. Controls and menu
// actions carry their resource IDs as object names. The checks of an
// appliance (ICMP echo, certificate, access key) wait on the network, so
// they run on a thread pool and report back to the window that asked.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QThreadPool>
#include <cstdint>
#include <map>
#include <string>

#include "RegistryOperations.h"

class QAction;
class QActionGroup;
class QLabel;
class QLineEdit;
class QMenu;
class QModelIndex;
class QPushButton;
class QSortFilterProxyModel;
class QStandardItemModel;
class QTreeView;

// Resource, control and command IDs.
enum : int {
    IDOK = 1,
    IDCANCEL = 2,
    IDM_ABOUTBOX = 0x0010,
    IDD_ABOUTBOX = 100,
    IDS_ABOUTBOX = 101,
    IDD_KORVELREGTOOL_DIALOG = 102,
    IDD_ARRAYENTRY = 103,
    IDR_MAINFRAME = 128,
    IDR_MENU = 130,
    IDI_ABOUT = 134,
    IDC_ARRAYIP = 1002,
    IDC_KORVELARRAYLIST = 1003,
    IDC_NEWENTRY = 1004,
    IDC_MODIFYENTRY = 1005,
    IDC_ACCESSKEY = 1005,
    IDC_DELETEENTRY = 1006,
    IDC_FILTER = 1007,
    IDC_ERRORTEXT = 1010,
    IDC_CERTIFICATE = 1011,
    IDC_ACCESSKEY_LABEL = 1102,
    ID_HELP_ABOUT = 32771,
    ID_FILE_EXIT = 32772,
    ID_EDIT_LOGGING = 32773,
    ID_LOGLEVEL_ERROR = 32774,
    ID_LOGLEVEL_TRACE = 32778,
};

// The text shown in the empty filter box.
extern const char* const KORVEL_FILTER_PLACEHOLDER;
// The "Online" column of a row whose check has not answered yet.
extern const char* const KORVEL_CHECKING;

class CAboutDlg : public QDialog {
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

class CArrayEntryDialog : public QDialog {
public:
    // The checks run on `checks`, which must outlive every check started
    // (the main window's pool does); the dialog itself may go first.
    CArrayEntryDialog(QWidget* parent, QThreadPool& checks, bool isModify,
                      std::map<std::string, ArrayConfigInfo> knownArrays);

    // In modify mode, the entry as listed, before exec().
    void setEntry(const std::string& arrayIP, const std::string& accessKey);
    // Runs OnInitDialog, then the dialog modally.
    int exec() override;
    // Closing is refused only once the entry is recorded and read back:
    // the caller must learn of it.
    void reject() override;

    bool isModify() const { return m_isModify; }
    // After Accepted: the entry as recorded and read back.
    const std::string& arrayIP() const { return m_arrayIP; }
    const std::string& accessKey() const { return m_accessKey; }
    const std::string& online() const { return m_online; }
    const std::string& certificatePin() const { return m_certificatePin; }
    // The error shown under the buttons; empty when none is.
    const std::string& errorText() const { return m_errorText; }
    // True while a check of this dialog runs (its buttons are disabled).
    bool isChecking() const { return m_checking; }

private:
    void OnInitDialog();
    void OnBnClickedOk();
    // The steps of Save that follow a check's answer.
    void OnProbed(bool reachable, int pinResult, const std::string& presented);
    void OnKeyChecked(int result, const std::string& presented, const std::string& recorded);
    void OnReadBack(int result, const std::vector<ArrayConfigInfo>& records);
    void clearError();
    void updateError(const std::string& text);
    void setChecking(bool checking);
    void showCertificate(const std::string& pin, const char* none);
    std::string recordedPin() const;
    // Asks whether to record the certificate `presented`; `recorded` is the
    // entry's pin so far (empty when it has none).
    bool confirmCertificate(const std::string& presented, const std::string& recorded);

    QThreadPool& m_checks;
    std::string m_arrayIP;
    std::string m_accessKey;
    std::string m_errorText;
    bool m_isModify;
    std::string m_origIP;
    std::string m_origKey;
    std::map<std::string, ArrayConfigInfo> m_knownArrays;
    std::string m_online;
    std::string m_certificatePin;
    bool m_checking = false;
    bool m_recorded = false;  // the store holds the entry; only the read-back is left

    QLineEdit* m_ipEdit;
    QLineEdit* m_keyEdit;
    QPushButton* m_saveButton;
    QPushButton* m_cancelButton;
    QLabel* m_errorLabel;
    QLabel* m_certificateLabel;
};

class CKorvelRegGUI : public QDialog {
public:
    explicit CKorvelRegGUI(QWidget* parent = nullptr);
    // Waits for the checks still running: they use the access library,
    // which the program tears down after the window.
    ~CKorvelRegGUI() override;

    const std::string& tracing() const { return m_tracing; }
    const std::string& logLevel() const { return m_logLevel; }
    // The listed appliances by address without surrounding blanks; a row
    // still being checked has no key yet and KORVEL_CHECKING as online.
    std::map<std::string, ArrayConfigInfo> arrays() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void OnInitDialog();
    void OnEnChangeFilter();
    void OnLvnItemchangedKorvelarraylist();
    void OnBnClickedNewentry();
    void OnBnClickedModifyentry();
    void OnBnClickedDeleteentry();
    void OnEditLevel(int commandID);
    void OnFileExit();
    void OnHelpAbout();

    void BuildMenu();
    void SetRow(int row, const ArrayConfigInfo& record);
    // Lists the entry and checks it on the pool; its row shows KORVEL_CHECKING until then.
    void CheckRow(int row, const std::string& address);
    void OnRowChecked(std::uint64_t check, const std::string& address, const std::vector<ArrayConfigInfo>& records);
    int FindRow(std::uint64_t check) const;
    bool IsChecking(int row) const;
    // Source rows of the selection, in list order.
    std::vector<int> SelectedRows() const;
    void EnableButtons();

    QThreadPool m_checks;
    std::uint64_t m_lastCheck = 0;
    std::string m_tracing;
    std::string m_logLevel;

    QStandardItemModel* m_arrays;
    QSortFilterProxyModel* m_filtered;
    QTreeView* m_arrayList;
    QLineEdit* m_filterEdit;
    QPushButton* m_newButton;
    QPushButton* m_modifyButton;
    QPushButton* m_deleteButton;
    QMenu* m_levelMenu;
    QAction* m_loggingAction;
    QActionGroup* m_levelGroup;
    QIcon m_hIcon;
};
