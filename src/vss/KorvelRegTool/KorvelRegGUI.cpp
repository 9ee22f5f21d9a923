#include "KorvelRegGUI.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QTreeWidget>
#include <QValidator>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "Logger.h"

const char* const KORVEL_FILTER_PLACEHOLDER = "filter[press enter to search]...";

namespace {

constexpr const char* kComponent = "Korvel.RegToolGUI";

#define GLOG(...) Logger::Write(3, kComponent, __VA_ARGS__)

std::string Trim(const std::string& text) {
    const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    auto first = std::find_if_not(text.begin(), text.end(), blank);
    auto last = std::find_if_not(text.rbegin(), text.rend(), blank).base();
    return first < last ? std::string(first, last) : std::string();
}

std::string Text(const QLineEdit* edit) { return edit->text().toStdString(); }

// Dialog units to pixels, the way Windows maps them: x by the dialog font's
// average character width / 4, y by its character height / 8, rounded.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font) {
        QFontMetrics metrics(font);
        m_baseX = (metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 26 + 1) / 2;
        m_baseY = metrics.height();
    }
    int X(int units) const { return (units * m_baseX + 2) / 4; }
    int Y(int units) const { return (units * m_baseY + 4) / 8; }
    QRect Rect(int x, int y, int width, int height) const { return QRect(X(x), Y(y), X(width), Y(height)); }

private:
    int m_baseX;
    int m_baseY;
};

// "MS Shell Dlg" 8, as the dialog templates ask; fontconfig picks the
// system's sans-serif face for it.
QFont DialogFont() {
    QFont font("MS Shell Dlg", 8);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

// Icon 128 (and 134): the window icon of the tool.
QIcon ToolIcon() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(0x1f, 0x5f, 0x9f));
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(QRectF(1, 1, 30, 30), 6, 6);
    painter.setPen(Qt::white);
    QFont font("Sans", 16, QFont::Bold);
    painter.setFont(font);
    painter.drawText(QRect(0, 0, 32, 32), Qt::AlignCenter, "K");
    return QIcon(pixmap);
}

template <typename W>
W* Control(W* widget, int id, const QRect& rect) {
    widget->setObjectName(QString::number(id));
    widget->setGeometry(rect);
    return widget;
}

// The filter box converts what is typed to lower case (ES_LOWERCASE).
class LowerCaseValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override {
        input = input.toLower();
        return Acceptable;
    }
};

}  // namespace

// ---- CAboutDlg -----------------------------------------------------------------

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QString::number(IDD_ABOUTBOX));
    setFont(DialogFont());
    setWindowTitle("About KorvelRegTool");
    const DialogUnits du(font());
    setFixedSize(du.X(225), du.Y(59));
    auto* icon = Control(new QLabel(this), IDI_ABOUT, du.Rect(14, 14, 21, 20));
    icon->setPixmap(ToolIcon().pixmap(32, 32));
    Control(new QLabel("KorvelRegTool, Version 1.0", this), -1, du.Rect(42, 14, 114, 8));
    Control(new QLabel("Records Quellstore appliances for snapshots", this), -1, du.Rect(42, 26, 170, 8));
    auto* ok = Control(new QPushButton("OK", this), IDOK, du.Rect(168, 41, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

// ---- CArrayEntryDialog -------------------------------------------------------------

CArrayEntryDialog::CArrayEntryDialog(QWidget* parent, bool isModify,
                                     std::map<std::string, ArrayConfigInfo> knownArrays)
    : QDialog(parent), m_isModify(isModify), m_knownArrays(std::move(knownArrays)) {
    setObjectName(QString::number(IDD_ARRAYENTRY));
    setFont(DialogFont());
    setSizeGripEnabled(true);  // resizable frame
    const DialogUnits du(font());
    resize(du.X(277), du.Y(102));
    Control(new QLabel("Array IP", this), -1, du.Rect(6, 22, 70, 8));
    m_ipEdit = Control(new QLineEdit(this), IDC_ARRAYIP, du.Rect(77, 20, 167, 13));
    Control(new QLabel("Access Key", this), IDC_ACCESSKEY_LABEL, du.Rect(6, 43, 70, 8));
    m_keyEdit = Control(new QLineEdit(this), IDC_ACCESSKEY, du.Rect(77, 41, 167, 13));
    m_keyEdit->setEchoMode(QLineEdit::Password);
    m_saveButton = Control(new QPushButton("&Save", this), IDOK, du.Rect(134, 66, 50, 14));
    m_saveButton->setDefault(true);
    m_cancelButton = Control(new QPushButton("&Cancel", this), IDCANCEL, du.Rect(194, 66, 50, 14));
    // The pin of the appliance's certificate: recorded, or about to be.
    m_certificateLabel = Control(new QLabel(this), IDC_CERTIFICATE, du.Rect(6, 56, 265, 8));
    m_certificateLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_errorLabel = Control(new QLabel(this), IDC_ERRORTEXT, du.Rect(6, 88, 240, 8));
    m_errorLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_errorLabel->hide();
    connect(m_saveButton, &QPushButton::clicked, this, [this] { OnBnClickedOk(); });
    connect(m_cancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

int CArrayEntryDialog::exec() {
    OnInitDialog();
    return QDialog::exec();
}

void CArrayEntryDialog::OnInitDialog() {
    GLOG("Entering CArrayEntryDialog::OnInitDialog()");
    m_ipEdit->setText(QString::fromStdString(m_arrayIP));
    m_keyEdit->setText(QString::fromStdString(m_accessKey));
    m_saveButton->setEnabled(true);
    m_cancelButton->setEnabled(true);
    if (m_isModify) {
        setWindowTitle("Modify Korvel QST Array");
        m_origIP = m_arrayIP = Trim(m_arrayIP);
        m_origKey = m_accessKey = Trim(m_accessKey);
        m_ipEdit->setText(QString::fromStdString(m_arrayIP));
        m_keyEdit->setText(QString::fromStdString(m_accessKey));
    } else {
        setWindowTitle("Add Korvel QST Array");
    }
    const auto recorded = m_knownArrays.find(m_origIP);
    if (m_isModify && recorded != m_knownArrays.end())
        showCertificate(recorded->second.certificatePin, "none recorded");
    else
        showCertificate(std::string(), "read when saved");
    clearError();
    setWindowIcon(ToolIcon());
    GLOG("Exiting CArrayEntryDialog::OnInitDialog()");
}

void CArrayEntryDialog::clearError() {
    GLOG("Entering CArrayEntryDialog::clearError()");
    m_errorText.clear();
    m_errorLabel->clear();
    m_errorLabel->hide();
    GLOG("Exiting CArrayEntryDialog::clearError()");
}

void CArrayEntryDialog::updateError(const std::string& text) {
    GLOG("Entering CArrayEntryDialog::updateError()");
    m_errorText = text;
    m_errorLabel->setText(QString::fromStdString(text));
    m_errorLabel->show();
    m_saveButton->setEnabled(true);
    GLOG("Exiting CArrayEntryDialog::updateError()");
}

void CArrayEntryDialog::showCertificate(const std::string& pin, const char* none) {
    m_certificateLabel->setText(QString::fromStdString("Certificate: " + (pin.empty() ? std::string(none) : pin)));
}

bool CArrayEntryDialog::confirmCertificate(const std::string& presented, const std::string& recorded) {
    GLOG("Entering CArrayEntryDialog::confirmCertificate()");
    std::string text;
    if (recorded.empty())
        text = "The Korvel QST Array at " + m_arrayIP + " presents the certificate\n" + presented +
               "\n\nRecord the array with this certificate?";
    else
        text = "The Korvel QST Array at " + m_arrayIP + " presents a certificate other than the recorded one.\n" +
               "Recorded: " + recorded + "\nPresented: " + presented + "\n\nRecord the new certificate?";
    QMessageBox question(recorded.empty() ? QMessageBox::Question : QMessageBox::Warning, "Certificate of the QST Array",
                         QString::fromStdString(text), QMessageBox::Yes | QMessageBox::No, this);
    question.setDefaultButton(recorded.empty() ? QMessageBox::Yes : QMessageBox::No);
    const bool accepted = question.exec() == QMessageBox::Yes;
    GLOG("Exiting CArrayEntryDialog::confirmCertificate()");
    return accepted;
}

void CArrayEntryDialog::OnBnClickedOk() {
    GLOG("Entering CArrayEntryDialog::OnBnClickedOk()");
    m_saveButton->setEnabled(false);
    m_arrayIP = Trim(Text(m_ipEdit));
    m_accessKey = Trim(Text(m_keyEdit));
    m_ipEdit->setText(QString::fromStdString(m_arrayIP));
    m_keyEdit->setText(QString::fromStdString(m_accessKey));
    clearError();

    if (m_arrayIP.empty() && m_accessKey.empty()) return updateError(GetErrorMsg(KRT_INVALID_INPUT));
    if (!IsArrayExists(m_arrayIP)) return updateError(GetErrorMsg(KRT_CANNOT_CONNECT));
    // The certificate first: the access key goes only to the holder of the
    // one the administrator accepted, and that one is recorded with it.
    std::string presented;
    int result = GetCertificatePin(m_arrayIP, presented);
    if (result != KRT_SUCCESS) return updateError(GetErrorMsg(result));
    const auto entry = m_knownArrays.find(m_origIP);
    const std::string recorded = m_isModify && entry != m_knownArrays.end() ? entry->second.certificatePin : "";
    showCertificate(presented, "");
    if (presented != recorded && !confirmCertificate(presented, recorded)) {
        showCertificate(recorded, m_isModify ? "none recorded" : "read when saved");
        return updateError(GetErrorMsg(KRT_CERTIFICATE_REFUSED));
    }
    if (ValidateArrayAccess(m_arrayIP, m_accessKey, presented) != 0)
        return updateError(GetErrorMsg(KRT_INVALID_ACCESS_KEY));

    const bool listed = m_knownArrays.count(m_arrayIP) > 0;
    if (m_isModify) {
        if (m_arrayIP != m_origIP) result = listed ? KRT_IP_IN_USE : UpdateKorvelArrayName(m_origIP, m_arrayIP);
        if (result == KRT_SUCCESS && (m_accessKey != m_origKey || presented != recorded))
            result = UpdateKorvelArrayKey(m_arrayIP, m_accessKey, presented);
    } else {
        result = listed ? KRT_IP_IN_USE : AddKorvelArray(m_arrayIP, m_accessKey, presented);
    }
    if (result != KRT_SUCCESS) return updateError(GetErrorMsg(result));

    std::vector<ArrayConfigInfo> records;
    result = GetArrayConfigInfo(records, m_arrayIP);
    if (result != KRT_SUCCESS) return updateError(GetErrorMsg(result));
    auto stored = std::find_if(records.begin(), records.end(),
                               [this](const ArrayConfigInfo& r) { return r.ip == m_arrayIP; });
    if (stored == records.end()) return updateError("Error : QST Array was not updated");
    m_online = stored->online;
    m_certificatePin = stored->certificatePin;
    clearError();
    GLOG("Exiting CArrayEntryDialog::OnBnClickedOk()");
    accept();
}

// ---- CKorvelRegGUI ---------------------------------------------------------------

CKorvelRegGUI::CKorvelRegGUI(QWidget* parent) : QDialog(parent), m_hIcon(ToolIcon()) {
    setObjectName(QString::number(IDD_KORVELREGTOOL_DIALOG));
    setFont(DialogFont());
    setWindowTitle("KorvelRegTool");
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    BuildMenu();
    const DialogUnits du(font());
    // The template's size is the client area; the menu bar sits above it.
    auto* menuBar = findChild<QMenuBar*>();
    const int top = menuBar->sizeHint().height();
    menuBar->setGeometry(0, 0, du.X(321), top);
    setFixedSize(du.X(321), du.Y(181) + top);
    auto client = [&](int x, int y, int w, int h) { return du.Rect(x, y, w, h).translated(0, top); };

    m_newButton = Control(new QPushButton("&New", this), IDC_NEWENTRY, client(5, 5, 50, 14));
    m_modifyButton = Control(new QPushButton("&Modify", this), IDC_MODIFYENTRY, client(60, 5, 50, 14));
    m_deleteButton = Control(new QPushButton("&Delete", this), IDC_DELETEENTRY, client(115, 5, 50, 14));
    for (QPushButton* button : {m_newButton, m_modifyButton, m_deleteButton}) button->setAutoDefault(false);
    m_filterEdit = Control(new QLineEdit(this), IDC_FILTER, client(207, 5, 106, 14));
    m_filterEdit->setValidator(new LowerCaseValidator(m_filterEdit));
    m_arrayList = Control(new QTreeWidget(this), IDC_KORVELARRAYLIST, client(5, 25, 308, 150));
    m_arrayList->setRootIsDecorated(false);
    m_arrayList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_arrayList->setSelectionBehavior(QAbstractItemView::SelectRows);  // full-row selection
    m_arrayList->setAllColumnsShowFocus(true);

    connect(m_newButton, &QPushButton::clicked, this, [this] { OnBnClickedNewentry(); });
    connect(m_modifyButton, &QPushButton::clicked, this, [this] { OnBnClickedModifyentry(); });
    connect(m_deleteButton, &QPushButton::clicked, this, [this] { OnBnClickedDeleteentry(); });
    connect(m_arrayList, &QTreeWidget::itemSelectionChanged, this, [this] { OnLvnItemchangedKorvelarraylist(); });
    // Keys and focus changes reach the handlers through one application-wide
    // filter, as messages reach PreTranslateMessage before their window.
    qApp->installEventFilter(this);
    OnInitDialog();
}

CKorvelRegGUI::~CKorvelRegGUI() { qApp->removeEventFilter(this); }

void CKorvelRegGUI::BuildMenu() {
    auto* menuBar = new QMenuBar(this);
    menuBar->setObjectName(QString::number(IDR_MENU));
    auto command = [this](QMenu* menu, const char* text, int id) {
        QAction* action = menu->addAction(text);
        action->setObjectName(QString::number(id));
        action->setData(id);
        return action;
    };
    QMenu* file = menuBar->addMenu("&File");
    connect(command(file, "E&xit", ID_FILE_EXIT), &QAction::triggered, this, [this] { OnFileExit(); });

    m_editMenu = menuBar->addMenu("&Edit");
    m_loggingAction = command(m_editMenu, "&Logging", ID_EDIT_LOGGING);
    m_loggingAction->setCheckable(true);
    m_loggingAction->setChecked(true);
    connect(m_loggingAction, &QAction::triggered, this, [this] { OnEditLevel(ID_EDIT_LOGGING); });
    m_levelMenu = m_editMenu->addMenu("&LogLevel");
    m_levelGroup = new QActionGroup(m_levelMenu);
    int id = ID_LOGLEVEL_ERROR;
    for (const char* level : {"&ERROR", "&WARNING", "&INFO", "&DEBUG", "&TRACE"}) {
        QAction* action = command(m_levelMenu, level, id);
        action->setCheckable(true);
        m_levelGroup->addAction(action);
        connect(action, &QAction::triggered, this, [this, id] { OnEditLevel(id); });
        ++id;
    }

    QMenu* help = menuBar->addMenu("&Help");
    connect(command(help, "&About", ID_HELP_ABOUT), &QAction::triggered, this, [this] { OnHelpAbout(); });
}

void CKorvelRegGUI::OnInitDialog() {
    GLOG("Entering CDialogEx::OnInitDialog()");
    // The system menu ("&About KorvelRegTool..." with command 16) belongs to
    // the window manager under X11 and cannot be extended by a program; the
    // Help menu's "&About" is the way to the About dialog here.

    m_arrayList->setHeaderLabels({"QSTA IP", "Online", "AccessKey"});
    m_arrayList->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_arrayList->setColumnWidth(0, 90);
    m_arrayList->setColumnWidth(1, 90);
    m_arrayList->setColumnHidden(2, true);  // width 0: the key is kept, never shown
    const int clientWidth = m_arrayList->width() - 2 * m_arrayList->frameWidth();
    m_arrayList->setColumnWidth(0, clientWidth / 10 * 3);
    m_arrayList->setColumnWidth(1, clientWidth / 10 * 2);

    std::vector<ArrayConfigInfo> records;
    GetArrayConfigInfo(records, "");
    for (const auto& record : records) {
        AddRow(record);
        m_arrayTable[Trim(record.ip)] = record;
    }

    m_filterEdit->setText(KORVEL_FILTER_PLACEHOLDER);
    m_filterText = KORVEL_FILTER_PLACEHOLDER;
    EnableButtons();

    if (GetTracing(m_tracing) == KRT_VALUE_NOT_FOUND) m_tracing = "Enabled";
    if (GetLogLevel(m_logLevel) == KRT_VALUE_NOT_FOUND) m_logLevel = "2";

    // A level that is no 32-bit decimal number shows as INFO.
    long long parsed = 2;
    if (!m_logLevel.empty()) {
        errno = 0;
        char* end = nullptr;
        parsed = std::strtoll(m_logLevel.c_str(), &end, 10);
        if (end == m_logLevel.c_str() || errno == ERANGE || parsed < INT32_MIN || parsed > INT32_MAX) parsed = 2;
    }
    const unsigned level = static_cast<uint32_t>(static_cast<int32_t>(parsed)) % 5;
    const std::string normalLevel = std::to_string(level);
    const bool enabled = m_tracing == "Enabled";
    const std::string normalTracing = enabled ? "Enabled" : "Disabled";

    m_levelMenu->menuAction()->setEnabled(enabled);
    m_levelGroup->actions().at(static_cast<int>(level))->setChecked(true);
    m_loggingAction->setChecked(enabled);
    if (normalTracing != m_tracing || normalLevel != m_logLevel) {
        SetTracing(normalTracing, normalLevel);
        m_tracing = normalTracing;
        m_logLevel = normalLevel;
    }
    setWindowIcon(m_hIcon);
    // Nor is there a counterpart for painting the icon into a minimised
    // window or handing it out as the drag icon: X11 window managers draw
    // minimised windows from the window icon set here.
    GLOG("Exiting CDialogEx::OnInitDialog()");
}

void CKorvelRegGUI::AddRow(const ArrayConfigInfo& record) {
    auto* item = new QTreeWidgetItem(m_arrayList);
    item->setText(0, QString::fromStdString(record.ip));
    item->setText(1, QString::fromStdString(record.online));
    item->setText(2, QString::fromStdString(record.accessKey));
}

void CKorvelRegGUI::FillList(const std::string& filter) {
    m_arrayList->clear();
    for (const auto& entry : m_arrayTable) {
        std::string key = entry.first;
        std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
        if (key.find(filter) != std::string::npos) AddRow(entry.second);
    }
}

int CKorvelRegGUI::FirstSelectedRow() const {
    for (int row = 0; row < m_arrayList->topLevelItemCount(); ++row)
        if (m_arrayList->topLevelItem(row)->isSelected()) return row;
    return -1;
}

void CKorvelRegGUI::EnableButtons() {
    const auto selected = m_arrayList->selectedItems().size();
    m_modifyButton->setEnabled(selected == 1);
    m_deleteButton->setEnabled(selected >= 1);
}

void CKorvelRegGUI::OnEnChangeFilter() {
    GLOG("Entering CKorvelRegGUI::OnEnChangeFilter()");
    m_filterText = Trim(Text(m_filterEdit));
    FillList(m_filterText);
    m_arrayList->setFocus();
    GLOG("Exiting CKorvelRegGUI::OnEnChangeFilter()");
}

void CKorvelRegGUI::OnEnSetfocusFilter() {
    GLOG("Entering CKorvelRegGUI::OnEnSetfocusFilter()");
    if (Trim(Text(m_filterEdit)) == KORVEL_FILTER_PLACEHOLDER) m_filterEdit->clear();
    GLOG("Exiting CKorvelRegGUI::OnEnSetfocusFilter()");
}

void CKorvelRegGUI::OnEnKillfocusFilter() {
    GLOG("Entering CKorvelRegGUI::OnEnKillfocusFilter()");
    if (Trim(Text(m_filterEdit)).empty()) {
        m_filterEdit->setText(KORVEL_FILTER_PLACEHOLDER);
        FillList("");
    }
    GLOG("Exiting CKorvelRegGUI::OnEnKillfocusFilter()");
}

bool CKorvelRegGUI::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (watched == m_filterEdit && type == QEvent::FocusIn) OnEnSetfocusFilter();
    if (watched == m_filterEdit && type == QEvent::FocusOut) OnEnKillfocusFilter();
    if (watched == m_arrayList && type == QEvent::FocusIn) OnNMSetfocusKorvelarraylist();
    // Input for this window, not for a dialog it opened.
    auto* widget = qobject_cast<QWidget*>(watched);
    const bool input = type == QEvent::KeyPress || type == QEvent::KeyRelease || type == QEvent::MouseButtonPress ||
                       type == QEvent::MouseButtonRelease;
    if (input && widget != nullptr && widget->window() == this) return PreTranslateMessage(event);
    return QDialog::eventFilter(watched, event);
}

bool CKorvelRegGUI::PreTranslateMessage(QEvent* event) {
    GLOG("Entering CKorvelRegGUI::PreTranslateMessage()");
    if (event->type() != QEvent::KeyPress) return false;
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        if (m_filterEdit->hasFocus()) OnEnChangeFilter();
        return true;  // Enter never closes the window
    }
    if (key == Qt::Key_Escape) {
        m_filterEdit->setFocus();
        m_filterEdit->clear();
        m_arrayList->setFocus();
        return true;  // nor does Escape
    }
    return false;
}

void CKorvelRegGUI::OnLvnItemchangedKorvelarraylist() {
    GLOG("Entering CKorvelRegGUI::OnLvnItemchangedKorvelarraylist()");
    EnableButtons();
    GLOG("Exiting CKorvelRegGUI::OnLvnItemchangedKorvelarraylist()");
}

void CKorvelRegGUI::OnNMSetfocusKorvelarraylist() {
    GLOG("Entering CKorvelRegGUI::OnNMSetfocusKorvelarraylist()");
    m_modifyButton->setEnabled(false);
    m_deleteButton->setEnabled(false);
    m_arrayList->clearSelection();
    GLOG("Exiting CKorvelRegGUI::OnNMSetfocusKorvelarraylist()");
}

void CKorvelRegGUI::OnBnClickedNewentry() {
    GLOG("Entering CKorvelRegGUI::OnBnClickedNewentry()");
    CArrayEntryDialog dialog(this, false, m_arrayTable);
    if (dialog.exec() == QDialog::Accepted) {
        ArrayConfigInfo record{dialog.m_arrayIP, dialog.m_accessKey, dialog.m_online, dialog.m_certificatePin};
        AddRow(record);
        m_arrayTable[record.ip] = record;
    }
    GLOG("Exiting CKorvelRegGUI::OnBnClickedNewentry()");
}

void CKorvelRegGUI::OnBnClickedModifyentry() {
    GLOG("Entering CKorvelRegGUI::OnBnClickedModifyentry()");
    const int row = FirstSelectedRow();
    if (row >= 0) {
        QTreeWidgetItem* item = m_arrayList->topLevelItem(row);
        const std::string oldIP = item->text(0).toStdString();
        CArrayEntryDialog dialog(this, true, m_arrayTable);
        dialog.m_arrayIP = oldIP;
        dialog.m_accessKey = item->text(2).toStdString();
        if (dialog.exec() == QDialog::Accepted) {
            if (dialog.m_arrayIP != oldIP) {
                RemoveKorvelArray(oldIP);  // the rename moved it already; this only makes sure
                m_arrayTable.erase(Trim(oldIP));
            }
            item->setText(0, QString::fromStdString(dialog.m_arrayIP));
            item->setText(1, QString::fromStdString(dialog.m_online));
            item->setText(2, QString::fromStdString(dialog.m_accessKey));
            m_arrayTable[Trim(dialog.m_arrayIP)] = {dialog.m_arrayIP, dialog.m_accessKey, dialog.m_online,
                                                    dialog.m_certificatePin};
        }
    }
    GLOG("Exiting CKorvelRegGUI::OnBnClickedModifyentry()");
}

void CKorvelRegGUI::OnBnClickedDeleteentry() {
    GLOG("Entering CKorvelRegGUI::OnBnClickedDeleteentry()");
    for (int row = FirstSelectedRow(); row >= 0; row = FirstSelectedRow()) {
        QTreeWidgetItem* item = m_arrayList->topLevelItem(row);
        const std::string address = item->text(0).toStdString();
        QMessageBox question(QMessageBox::Warning, "Remove QST Array",
                             QString::fromStdString("Are you sure you want to remove this Korvel QST Array?\nQSTA IP: " +
                                                    address),
                             QMessageBox::Ok | QMessageBox::Cancel, this);
        if (question.exec() != QMessageBox::Ok) return;
        RemoveKorvelArray(Trim(address));
        m_arrayTable.erase(Trim(address));
        delete item;
    }
    GLOG("Exiting CKorvelRegGUI::OnBnClickedDeleteentry()");
}

void CKorvelRegGUI::OnEditLevel(int commandID) {
    GLOG("Entering CKorvelRegGUI::OnEditLevel()");
    if (commandID >= ID_LOGLEVEL_ERROR && commandID <= ID_LOGLEVEL_TRACE) {
        m_levelGroup->actions().at(commandID - ID_LOGLEVEL_ERROR)->setChecked(true);
        m_logLevel = std::to_string(commandID - ID_LOGLEVEL_ERROR);
    } else if (commandID == ID_EDIT_LOGGING) {
        // The action has toggled its own check mark already.
        const bool wasChecked = !m_loggingAction->isChecked();
        m_tracing = wasChecked ? "Disabled" : "Enabled";
        m_levelMenu->menuAction()->setEnabled(!wasChecked);
        m_loggingAction->setChecked(!wasChecked);
    }
    SetTracing(m_tracing, m_logLevel);
    GLOG("Exiting CKorvelRegGUI::OnEditLevel()");
}

void CKorvelRegGUI::OnFileExit() {
    GLOG("Entering CKorvelRegGUI::OnFileExit()");
    reject();
    GLOG("Exiting CKorvelRegGUI::OnFileExit()");
}

void CKorvelRegGUI::OnHelpAbout() {
    GLOG("Entering CKorvelRegGUI::OnHelpAbout()");
    CAboutDlg about(this);
    about.setWindowIcon(m_hIcon);
    about.exec();
    GLOG("Exiting CKorvelRegGUI::OnHelpAbout()");
}
