#include "KorvelRegGUI.h"

#include <arpa/inet.h>

#include <QAction>
#include <QActionGroup>
#include <QBoxLayout>
#include <QFormLayout>
#include <QFutureWatcher>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPersistentModelIndex>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QStandardItemModel>
#include <QTreeView>
#include <QValidator>
#include <QtConcurrentRun>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <type_traits>
#include <vector>

#include "Logger.h"

const char* const KORVEL_FILTER_PLACEHOLDER = "filter[press enter to search]...";
const char* const KORVEL_CHECKING = "checking…";

namespace {

constexpr const char* kComponent = "Korvel.RegToolGUI";
// Checks wait on the network, not on the processor: enough threads that
// each of many silent appliances answers after its own time-out.
constexpr int kCheckThreads = 16;
// Item data of a row's first column.
constexpr int kPinRole = Qt::UserRole + 1;    // the recorded certificate pin
constexpr int kCheckRole = Qt::UserRole + 2;  // the check the row waits for; 0 when none

#define GLOG(...) Logger::Write(3, kComponent, __VA_ARGS__)

std::string Trim(const std::string& text) {
    const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    auto first = std::find_if_not(text.begin(), text.end(), blank);
    auto last = std::find_if_not(text.rbegin(), text.rend(), blank).base();
    return first < last ? std::string(first, last) : std::string();
}

std::string Text(const QLineEdit* edit) { return edit->text().toStdString(); }
QString Q(const std::string& text) { return QString::fromStdString(text); }

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
W* Named(W* widget, int id) {
    widget->setObjectName(QString::number(id));
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

// The echo resolves a name with gethostbyname, whose result lives in one
// buffer for the whole process: checks of appliances given by name take
// turns. Dotted addresses need no lookup and run side by side.
std::mutex g_nameLookup;

std::unique_lock<std::mutex> NameLookupTurn(const std::string& address) {
    std::unique_lock<std::mutex> turn(g_nameLookup, std::defer_lock);
    const size_t colon = address.find(':');
    const bool hostAndPort = colon != std::string::npos && address.find(':', colon + 1) == std::string::npos;
    const std::string host = hostAndPort ? address.substr(0, colon) : address;
    if (inet_addr(host.c_str()) == INADDR_NONE) turn.lock();
    return turn;
}

// Runs `work` on `pool` and hands its result to `done` on the GUI thread.
// The watcher belongs to `owner`: once the owner is gone, so is the
// delivery, and the work (which holds nothing of the owner's) ends alone.
template <typename Work, typename Done>
void RunCheck(QObject* owner, QThreadPool& pool, Work work, Done done) {
    using Result = std::invoke_result_t<Work>;
    auto* watcher = new QFutureWatcher<Result>(owner);
    QObject::connect(watcher, &QFutureWatcherBase::finished, watcher, [watcher, done] {
        watcher->deleteLater();
        done(watcher->result());
    });
    watcher->setFuture(QtConcurrent::run(&pool, std::move(work)));
}

}  // namespace

// ---- CAboutDlg -----------------------------------------------------------------

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QString::number(IDD_ABOUTBOX));
    setWindowTitle("About KorvelRegTool");
    auto* icon = Named(new QLabel, IDI_ABOUT);
    icon->setPixmap(ToolIcon().pixmap(32, 32));
    icon->setAlignment(Qt::AlignTop);
    auto* ok = Named(new QPushButton("OK"), IDOK);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* text = new QVBoxLayout;
    text->addWidget(new QLabel("KorvelRegTool, Version 1.0"));
    text->addWidget(new QLabel("Records Quellstore appliances for snapshots"));
    text->addStretch();
    text->addWidget(ok, 0, Qt::AlignRight);
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(icon);
    layout->addLayout(text, 1);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

// ---- CArrayEntryDialog -------------------------------------------------------------

CArrayEntryDialog::CArrayEntryDialog(QWidget* parent, QThreadPool& checks, bool isModify,
                                     std::map<std::string, ArrayConfigInfo> knownArrays)
    : QDialog(parent), m_checks(checks), m_isModify(isModify), m_knownArrays(std::move(knownArrays)) {
    setObjectName(QString::number(IDD_ARRAYENTRY));
    setSizeGripEnabled(true);  // resizable frame
    m_ipEdit = Named(new QLineEdit, IDC_ARRAYIP);
    m_keyEdit = Named(new QLineEdit, IDC_ACCESSKEY);
    m_keyEdit->setEchoMode(QLineEdit::Password);
    m_saveButton = Named(new QPushButton("&Save"), IDOK);
    m_saveButton->setDefault(true);
    m_cancelButton = Named(new QPushButton("&Cancel"), IDCANCEL);
    // The pin of the appliance's certificate: recorded, or about to be.
    m_certificateLabel = Named(new QLabel, IDC_CERTIFICATE);
    m_certificateLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // Unwrapped, so the layout widens the dialog to the whole message.
    m_errorLabel = Named(new QLabel, IDC_ERRORTEXT);
    m_errorLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_errorLabel->hide();

    auto* fields = new QFormLayout;
    fields->addRow("Array IP", m_ipEdit);
    fields->addRow(Named(new QLabel("Access Key"), IDC_ACCESSKEY_LABEL), m_keyEdit);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_saveButton);
    buttons->addWidget(m_cancelButton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(m_certificateLabel);
    layout->addLayout(buttons);
    layout->addWidget(m_errorLabel);
    layout->addStretch();
    // Room for an address and a key; the rest follows the font.
    resize(sizeHint().expandedTo(QSize(fontMetrics().averageCharWidth() * 60, 0)));

    connect(m_saveButton, &QPushButton::clicked, this, [this] { OnBnClickedOk(); });
    connect(m_cancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

void CArrayEntryDialog::setEntry(const std::string& arrayIP, const std::string& accessKey) {
    m_arrayIP = arrayIP;
    m_accessKey = accessKey;
}

int CArrayEntryDialog::exec() {
    OnInitDialog();
    return QDialog::exec();
}

void CArrayEntryDialog::reject() {
    if (!m_recorded) QDialog::reject();
}

void CArrayEntryDialog::OnInitDialog() {
    GLOG("Entering CArrayEntryDialog::OnInitDialog()");
    m_ipEdit->setText(Q(m_arrayIP));
    m_keyEdit->setText(Q(m_accessKey));
    setChecking(false);
    if (m_isModify) {
        setWindowTitle("Modify Korvel QST Array");
        m_origIP = m_arrayIP = Trim(m_arrayIP);
        m_origKey = m_accessKey = Trim(m_accessKey);
        m_ipEdit->setText(Q(m_arrayIP));
        m_keyEdit->setText(Q(m_accessKey));
        showCertificate(recordedPin(), "none recorded");
    } else {
        setWindowTitle("Add Korvel QST Array");
        showCertificate(std::string(), "read when saved");
    }
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
    m_errorLabel->setText(Q(text));
    m_errorLabel->show();
    setChecking(false);
    GLOG("Exiting CArrayEntryDialog::updateError()");
}

// While a check runs the texts it checks stay as they are, and neither
// button can act on a half-made answer.
void CArrayEntryDialog::setChecking(bool checking) {
    m_checking = checking;
    m_saveButton->setEnabled(!checking);
    m_cancelButton->setEnabled(!checking);
    m_ipEdit->setReadOnly(checking);
    m_keyEdit->setReadOnly(checking);
    if (!checking) m_recorded = false;
}

void CArrayEntryDialog::showCertificate(const std::string& pin, const char* none) {
    m_certificateLabel->setText(Q("Certificate: " + (pin.empty() ? std::string(none) : pin)));
}

std::string CArrayEntryDialog::recordedPin() const {
    const auto entry = m_knownArrays.find(m_origIP);
    return m_isModify && entry != m_knownArrays.end() ? entry->second.certificatePin : std::string();
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
    QMessageBox question(recorded.empty() ? QMessageBox::Question : QMessageBox::Warning,
                         "Certificate of the QST Array", Q(text), QMessageBox::Yes | QMessageBox::No, this);
    question.setDefaultButton(recorded.empty() ? QMessageBox::Yes : QMessageBox::No);
    const bool accepted = question.exec() == QMessageBox::Yes;
    GLOG("Exiting CArrayEntryDialog::confirmCertificate()");
    return accepted;
}

namespace {

struct Probe {
    bool reachable = false;
    int pinResult = KRT_SUCCESS;
    std::string pin;
};

struct ReadBack {
    int result = KRT_SUCCESS;
    std::vector<ArrayConfigInfo> records;
};

}  // namespace

// Save runs in steps, each check on the pool and its answer back here: the
// echo and the certificate, the question, the access key, the store, the
// read-back. A dialog closed in between (it is hidden then) takes none of
// the later steps.
void CArrayEntryDialog::OnBnClickedOk() {
    GLOG("Entering CArrayEntryDialog::OnBnClickedOk()");
    m_saveButton->setEnabled(false);
    m_arrayIP = Trim(Text(m_ipEdit));
    m_accessKey = Trim(Text(m_keyEdit));
    m_ipEdit->setText(Q(m_arrayIP));
    m_keyEdit->setText(Q(m_accessKey));
    clearError();

    if (m_arrayIP.empty() && m_accessKey.empty()) return updateError(GetErrorMsg(KRT_INVALID_INPUT));
    setChecking(true);
    // The certificate before the key: the access key goes only to the
    // holder of the one the administrator accepted, and that one is
    // recorded with it.
    RunCheck(
        this, m_checks,
        [address = m_arrayIP] {
            Probe probe;
            {
                const auto turn = NameLookupTurn(address);
                probe.reachable = IsArrayExists(address);
            }
            if (probe.reachable) probe.pinResult = GetCertificatePin(address, probe.pin);
            return probe;
        },
        [this](const Probe& probe) { OnProbed(probe.reachable, probe.pinResult, probe.pin); });
}

void CArrayEntryDialog::OnProbed(bool reachable, int pinResult, const std::string& presented) {
    if (!isVisible()) return;
    if (!reachable) return updateError(GetErrorMsg(KRT_CANNOT_CONNECT));
    if (pinResult != KRT_SUCCESS) return updateError(GetErrorMsg(pinResult));
    const std::string recorded = recordedPin();
    showCertificate(presented, "");
    if (presented != recorded && !confirmCertificate(presented, recorded)) {
        showCertificate(recorded, m_isModify ? "none recorded" : "read when saved");
        return updateError(GetErrorMsg(KRT_CERTIFICATE_REFUSED));
    }
    RunCheck(
        this, m_checks,
        [address = m_arrayIP, key = m_accessKey, presented] { return ValidateArrayAccess(address, key, presented); },
        [this, presented, recorded](int result) { OnKeyChecked(result, presented, recorded); });
}

void CArrayEntryDialog::OnKeyChecked(int result, const std::string& presented, const std::string& recorded) {
    if (!isVisible()) return;
    if (result != 0) return updateError(GetErrorMsg(KRT_INVALID_ACCESS_KEY));

    const bool listed = m_knownArrays.count(m_arrayIP) > 0;
    if (m_isModify) {
        if (m_arrayIP != m_origIP) result = listed ? KRT_IP_IN_USE : UpdateKorvelArrayName(m_origIP, m_arrayIP);
        if (result == KRT_SUCCESS && (m_accessKey != m_origKey || presented != recorded))
            result = UpdateKorvelArrayKey(m_arrayIP, m_accessKey, presented);
    } else {
        result = listed ? KRT_IP_IN_USE : AddKorvelArray(m_arrayIP, m_accessKey, presented);
    }
    if (result != KRT_SUCCESS) return updateError(GetErrorMsg(result));

    m_recorded = true;
    RunCheck(
        this, m_checks,
        [address = m_arrayIP] {
            ReadBack readBack;
            const auto turn = NameLookupTurn(address);
            readBack.result = GetArrayConfigInfo(readBack.records, address);
            return readBack;
        },
        [this](const ReadBack& readBack) { OnReadBack(readBack.result, readBack.records); });
}

void CArrayEntryDialog::OnReadBack(int result, const std::vector<ArrayConfigInfo>& records) {
    if (result != KRT_SUCCESS) return updateError(GetErrorMsg(result));
    auto stored =
        std::find_if(records.begin(), records.end(), [this](const ArrayConfigInfo& r) { return r.ip == m_arrayIP; });
    if (stored == records.end()) return updateError("Error : QST Array was not updated");
    m_online = stored->online;
    m_certificatePin = stored->certificatePin;
    clearError();
    setChecking(false);
    GLOG("Exiting CArrayEntryDialog::OnBnClickedOk()");
    accept();
}

// ---- CKorvelRegGUI ---------------------------------------------------------------

CKorvelRegGUI::CKorvelRegGUI(QWidget* parent) : QDialog(parent), m_hIcon(ToolIcon()) {
    setObjectName(QString::number(IDD_KORVELREGTOOL_DIALOG));
    setWindowTitle("KorvelRegTool");
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                   Qt::WindowCloseButtonHint);
    m_checks.setMaxThreadCount(kCheckThreads);

    m_newButton = Named(new QPushButton("&New"), IDC_NEWENTRY);
    m_modifyButton = Named(new QPushButton("&Modify"), IDC_MODIFYENTRY);
    m_deleteButton = Named(new QPushButton("&Delete"), IDC_DELETEENTRY);
    m_filterEdit = Named(new QLineEdit, IDC_FILTER);
    m_filterEdit->setValidator(new LowerCaseValidator(m_filterEdit));
    m_filterEdit->setPlaceholderText(KORVEL_FILTER_PLACEHOLDER);
    m_filterEdit->setMinimumWidth(fontMetrics().horizontalAdvance(KORVEL_FILTER_PLACEHOLDER) +
                                  fontMetrics().averageCharWidth() * 4);

    // The store's entries in its order; the list shows those the filter lets through.
    m_arrays = new QStandardItemModel(0, 3, this);
    m_filtered = new QSortFilterProxyModel(this);
    m_filtered->setSourceModel(m_arrays);
    m_filtered->setFilterKeyColumn(0);
    m_filtered->setFilterCaseSensitivity(Qt::CaseInsensitive);
    m_arrayList = Named(new QTreeView, IDC_KORVELARRAYLIST);
    m_arrayList->setModel(m_filtered);
    m_arrayList->setRootIsDecorated(false);
    m_arrayList->setUniformRowHeights(true);
    m_arrayList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_arrayList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_arrayList->setSelectionBehavior(QAbstractItemView::SelectRows);  // full-row selection
    m_arrayList->setAllColumnsShowFocus(true);

    auto* tools = new QHBoxLayout;
    for (QPushButton* button : {m_newButton, m_modifyButton, m_deleteButton}) {
        button->setAutoDefault(false);  // Enter never presses them
        tools->addWidget(button);
    }
    tools->addStretch();
    tools->addWidget(m_filterEdit);
    auto* layout = new QVBoxLayout(this);
    BuildMenu();
    layout->setMenuBar(findChild<QMenuBar*>());
    layout->addLayout(tools);
    layout->addWidget(m_arrayList, 1);
    const int line = fontMetrics().height();
    resize(sizeHint().expandedTo(QSize(line * 40, line * 22)));

    connect(m_newButton, &QPushButton::clicked, this, [this] { OnBnClickedNewentry(); });
    connect(m_modifyButton, &QPushButton::clicked, this, [this] { OnBnClickedModifyentry(); });
    connect(m_deleteButton, &QPushButton::clicked, this, [this] { OnBnClickedDeleteentry(); });
    connect(m_filterEdit, &QLineEdit::returnPressed, this, [this] { OnEnChangeFilter(); });
    connect(m_arrayList->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { OnLvnItemchangedKorvelarraylist(); });
    OnInitDialog();
}

CKorvelRegGUI::~CKorvelRegGUI() { m_checks.waitForDone(); }

void CKorvelRegGUI::BuildMenu() {
    auto* menuBar = Named(new QMenuBar(this), IDR_MENU);
    auto command = [this](QMenu* menu, const char* text, int id) {
        QAction* action = menu->addAction(text);
        action->setObjectName(QString::number(id));
        action->setData(id);
        return action;
    };
    QMenu* file = menuBar->addMenu("&File");
    connect(command(file, "E&xit", ID_FILE_EXIT), &QAction::triggered, this, [this] { OnFileExit(); });

    QMenu* edit = menuBar->addMenu("&Edit");
    m_loggingAction = command(edit, "&Logging", ID_EDIT_LOGGING);
    m_loggingAction->setCheckable(true);
    m_loggingAction->setChecked(true);
    connect(m_loggingAction, &QAction::triggered, this, [this] { OnEditLevel(ID_EDIT_LOGGING); });
    m_levelMenu = edit->addMenu("&LogLevel");
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

    m_arrays->setHorizontalHeaderLabels({"QSTA IP", "Online", "AccessKey"});
    QHeaderView* header = m_arrayList->header();
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    header->setStretchLastSection(true);
    m_arrayList->setColumnHidden(2, true);  // the key is kept, never shown

    // The entries at once, their checks as they answer.
    std::vector<std::string> names;
    GetKorvelArrayNames(names);
    for (const auto& name : names) {
        const int row = m_arrays->rowCount();
        SetRow(row, {name, std::string(), KORVEL_CHECKING, std::string()});
        CheckRow(row, name);
    }
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

void CKorvelRegGUI::SetRow(int row, const ArrayConfigInfo& record) {
    if (row == m_arrays->rowCount()) m_arrays->insertRow(row);
    auto* address = new QStandardItem(Q(record.ip));
    address->setData(Q(record.certificatePin), kPinRole);
    address->setData(QVariant::fromValue<qulonglong>(0), kCheckRole);
    m_arrays->setItem(row, 0, address);
    m_arrays->setItem(row, 1, new QStandardItem(Q(record.online)));
    m_arrays->setItem(row, 2, new QStandardItem(Q(record.accessKey)));
}

void CKorvelRegGUI::CheckRow(int row, const std::string& address) {
    const std::uint64_t check = ++m_lastCheck;
    m_arrays->item(row, 0)->setData(QVariant::fromValue<qulonglong>(check), kCheckRole);
    RunCheck(
        this, m_checks,
        [address] {
            std::vector<ArrayConfigInfo> records;
            const auto turn = NameLookupTurn(address);
            GetArrayConfigInfo(records, address);  // the records say it all; the code adds nothing
            return records;
        },
        [this, check, address](const std::vector<ArrayConfigInfo>& records) { OnRowChecked(check, address, records); });
}

void CKorvelRegGUI::OnRowChecked(std::uint64_t check, const std::string& address,
                                 const std::vector<ArrayConfigInfo>& records) {
    const int row = FindRow(check);
    if (row < 0) return;  // the row was deleted meanwhile
    auto record =
        std::find_if(records.begin(), records.end(), [&address](const ArrayConfigInfo& r) { return r.ip == address; });
    // An entry gone from the store, or without a key, is not listed.
    if (record == records.end())
        m_arrays->removeRow(row);
    else
        SetRow(row, *record);
    EnableButtons();
}

int CKorvelRegGUI::FindRow(std::uint64_t check) const {
    for (int row = 0; row < m_arrays->rowCount(); ++row)
        if (m_arrays->item(row, 0)->data(kCheckRole).toULongLong() == check) return row;
    return -1;
}

bool CKorvelRegGUI::IsChecking(int row) const { return m_arrays->item(row, 0)->data(kCheckRole).toULongLong() != 0; }

std::map<std::string, ArrayConfigInfo> CKorvelRegGUI::arrays() const {
    std::map<std::string, ArrayConfigInfo> table;
    for (int row = 0; row < m_arrays->rowCount(); ++row) {
        ArrayConfigInfo record{m_arrays->item(row, 0)->text().toStdString(),
                               m_arrays->item(row, 2)->text().toStdString(),
                               m_arrays->item(row, 1)->text().toStdString(),
                               m_arrays->item(row, 0)->data(kPinRole).toString().toStdString()};
        table[Trim(record.ip)] = record;
    }
    return table;
}

std::vector<int> CKorvelRegGUI::SelectedRows() const {
    QModelIndexList selected = m_arrayList->selectionModel()->selectedRows(0);
    std::sort(selected.begin(), selected.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    std::vector<int> rows;
    for (const QModelIndex& index : selected) rows.push_back(m_filtered->mapToSource(index).row());
    return rows;
}

// Modify needs the entry's key and pin, which its check brings.
void CKorvelRegGUI::EnableButtons() {
    const std::vector<int> rows = SelectedRows();
    m_modifyButton->setEnabled(rows.size() == 1 && !IsChecking(rows.front()));
    m_deleteButton->setEnabled(!rows.empty());
}

void CKorvelRegGUI::OnEnChangeFilter() {
    GLOG("Entering CKorvelRegGUI::OnEnChangeFilter()");
    m_filtered->setFilterFixedString(Q(Trim(Text(m_filterEdit))));
    m_arrayList->clearSelection();
    m_arrayList->setFocus();
    GLOG("Exiting CKorvelRegGUI::OnEnChangeFilter()");
}

// Enter applies the filter (through the box's returnPressed) and never
// closes the window; Escape shows every row again and never closes it either.
void CKorvelRegGUI::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    if (key == Qt::Key_Escape) {
        m_filterEdit->clear();
        OnEnChangeFilter();
    } else if (key != Qt::Key_Return && key != Qt::Key_Enter) {
        QDialog::keyPressEvent(event);
    }
}

void CKorvelRegGUI::OnLvnItemchangedKorvelarraylist() {
    GLOG("Entering CKorvelRegGUI::OnLvnItemchangedKorvelarraylist()");
    EnableButtons();
    GLOG("Exiting CKorvelRegGUI::OnLvnItemchangedKorvelarraylist()");
}

void CKorvelRegGUI::OnBnClickedNewentry() {
    GLOG("Entering CKorvelRegGUI::OnBnClickedNewentry()");
    CArrayEntryDialog dialog(this, m_checks, false, arrays());
    if (dialog.exec() == QDialog::Accepted)
        SetRow(m_arrays->rowCount(), {dialog.arrayIP(), dialog.accessKey(), dialog.online(), dialog.certificatePin()});
    GLOG("Exiting CKorvelRegGUI::OnBnClickedNewentry()");
}

void CKorvelRegGUI::OnBnClickedModifyentry() {
    GLOG("Entering CKorvelRegGUI::OnBnClickedModifyentry()");
    const std::vector<int> rows = SelectedRows();
    if (!rows.empty() && !IsChecking(rows.front())) {
        // Other rows' answers may move this one while the dialog is open.
        const QPersistentModelIndex entry(m_arrays->index(rows.front(), 0));
        const std::string oldIP = m_arrays->item(entry.row(), 0)->text().toStdString();
        CArrayEntryDialog dialog(this, m_checks, true, arrays());
        dialog.setEntry(oldIP, m_arrays->item(entry.row(), 2)->text().toStdString());
        if (dialog.exec() == QDialog::Accepted && entry.isValid()) {
            if (dialog.arrayIP() != oldIP)
                RemoveKorvelArray(oldIP);  // the rename moved it already; this only makes sure
            SetRow(entry.row(), {dialog.arrayIP(), dialog.accessKey(), dialog.online(), dialog.certificatePin()});
        }
    }
    GLOG("Exiting CKorvelRegGUI::OnBnClickedModifyentry()");
}

void CKorvelRegGUI::OnBnClickedDeleteentry() {
    GLOG("Entering CKorvelRegGUI::OnBnClickedDeleteentry()");
    for (std::vector<int> rows = SelectedRows(); !rows.empty(); rows = SelectedRows()) {
        const QPersistentModelIndex entry(m_arrays->index(rows.front(), 0));
        const std::string address = m_arrays->item(entry.row(), 0)->text().toStdString();
        QMessageBox question(QMessageBox::Warning, "Remove QST Array",
                             Q("Are you sure you want to remove this Korvel QST Array?\nQSTA IP: " + address),
                             QMessageBox::Ok | QMessageBox::Cancel, this);
        if (question.exec() != QMessageBox::Ok) return;
        RemoveKorvelArray(Trim(address));
        if (entry.isValid()) m_arrays->removeRow(entry.row());
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
