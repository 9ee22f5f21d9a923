// The registration tool's dialogs: the main window CKorvelRegGUI, the entry
// dialog CArrayEntryDialog and CAboutDlg, in Qt Widgets. Controls and menu
// actions carry their resource IDs as object names.
#pragma once

#include <QDialog>
#include <QIcon>
#include <map>
#include <string>

#include "RegistryOperations.h"

class QAction;
class QActionGroup;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTreeWidget;

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

class CAboutDlg : public QDialog {
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

class CArrayEntryDialog : public QDialog {
public:
    CArrayEntryDialog(QWidget* parent, bool isModify, std::map<std::string, ArrayConfigInfo> knownArrays);

    // Runs OnInitDialog, then the dialog modally.
    int exec() override;

    std::string m_arrayIP;    // edit 1002
    std::string m_accessKey;  // edit 1005
    std::string m_errorText;  // label 1010
    bool m_isModify;
    std::string m_origIP;
    std::string m_origKey;
    std::map<std::string, ArrayConfigInfo> m_knownArrays;
    std::string m_online;          // on success, for the caller
    std::string m_certificatePin;  // on success, the pin recorded for the entry

private:
    void OnInitDialog();
    void OnBnClickedOk();
    void clearError();
    void updateError(const std::string& text);
    void showCertificate(const std::string& pin, const char* none);
    // Asks whether to record the certificate `presented`; `recorded` is the
    // entry's pin so far (empty when it has none).
    bool confirmCertificate(const std::string& presented, const std::string& recorded);

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
    ~CKorvelRegGUI() override;

    std::map<std::string, ArrayConfigInfo> m_arrayTable;  // by address without surrounding blanks
    std::string m_tracing;
    std::string m_logLevel;
    std::string m_filterText;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnInitDialog();
    void OnEnChangeFilter();
    void OnEnSetfocusFilter();
    void OnEnKillfocusFilter();
    bool PreTranslateMessage(QEvent* event);
    void OnLvnItemchangedKorvelarraylist();
    void OnNMSetfocusKorvelarraylist();
    void OnBnClickedNewentry();
    void OnBnClickedModifyentry();
    void OnBnClickedDeleteentry();
    void OnEditLevel(int commandID);
    void OnFileExit();
    void OnHelpAbout();

    void BuildMenu();
    void AddRow(const ArrayConfigInfo& record);
    void FillList(const std::string& filter);
    void EnableButtons();
    int FirstSelectedRow() const;

    QTreeWidget* m_arrayList;
    QLineEdit* m_filterEdit;
    QPushButton* m_newButton;
    QPushButton* m_modifyButton;
    QPushButton* m_deleteButton;
    QMenu* m_editMenu;
    QMenu* m_levelMenu;
    QAction* m_loggingAction;
    QActionGroup* m_levelGroup;
    QIcon m_hIcon;
};
