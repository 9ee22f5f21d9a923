// Pictures of the registration tool's window for the README: the main
// window listing two recorded appliances (one answering, one not) and the
// entry dialog showing the certificate it read and the error of a refused
// key. Meant to run under a real
// X server (scripts/screenshot uses xvfb-run) so the pictures show the
// platform's own drawing.
//   regtool-screenshot OUTPUT_FOLDER
#include <qsta/Simulator.h>

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <QTreeView>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "KorvelAccessLibrary.h"
#include "KorvelRegGUI.h"
#include "Logger.h"
#include "RegistryOperations.h"

namespace {

bool Save(QWidget* widget, const std::string& path) {
    if (widget->grab().save(QString::fromStdString(path), "PNG")) {
        std::printf("saved %s\n", path.c_str());
        return true;
    }
    std::fprintf(stderr, "cannot save %s\n", path.c_str());
    return false;
}

// Runs `then` once `ready` holds, looking every 50 ms.
void When(QObject* context, std::function<bool()> ready, std::function<void()> then) {
    auto* poll = new QTimer(context);
    QObject::connect(poll, &QTimer::timeout, context, [poll, ready, then] {
        if (!ready()) return;
        poll->deleteLater();
        poll->stop();
        then();
    });
    poll->start(50);
}

bool Checked(const QTreeView* list) {
    for (int row = 0; row < list->model()->rowCount(); ++row)
        if (list->model()->index(row, 1).data().toString() == KORVEL_CHECKING) return false;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || std::getenv("KORVEL_REGISTRY_ROOT") == nullptr) {
        std::fprintf(stderr, "usage: KORVEL_REGISTRY_ROOT=FOLDER regtool-screenshot OUTPUT_FOLDER\n");
        return 2;
    }
    const std::string out = argv[1];
    Logger::Initialize("regtool-screenshot.log", KLOG_DEBUG, true);
    qsta::Simulator simulator;
    simulator.Start();
    Korvel::KAccessLayer::GlobalInit();
    InitRegistryDefaults();
    AddKorvelArray(simulator.Address(), simulator.AccessKey());
    AddKorvelArray("127.0.0.1:1", "offline-appliance-key");  // answers echoes, but no appliance listens

    bool saved = false;
    {
        QApplication application(argc, argv);
        const std::string address = simulator.Address();
        CKorvelRegGUI window;
        window.show();
        // Once every row has its answer: picture the window, then open the
        // entry dialog with a wrong key and picture the error it shows.
        const auto* list = window.findChild<QTreeView*>(QString::number(IDC_KORVELARRAYLIST));
        When(
            &window, [list] { return Checked(list); },
            [&] {
                saved = Save(&window, out + "/regtool-main.png");
                QTimer::singleShot(300, &window, [&] {
                    auto* dialog = dynamic_cast<CArrayEntryDialog*>(QApplication::activeModalWidget());
                    if (dialog == nullptr) return window.reject();
                    dialog->findChild<QLineEdit*>(QString::number(IDC_ARRAYIP))
                        ->setText(QString::fromStdString(address));
                    dialog->findChild<QLineEdit*>(QString::number(IDC_ACCESSKEY))->setText("not-the-key");
                    dialog->findChild<QPushButton*>(QString::number(IDOK))->click();
                    // The certificate is accepted; the key is not.
                    const auto answered = [dialog] {
                        auto* question = dynamic_cast<QMessageBox*>(QApplication::activeModalWidget());
                        if (question != nullptr) question->button(QMessageBox::Yes)->click();
                        return question == nullptr && !dialog->isChecking();
                    };
                    When(dialog, answered, [&, dialog] {
                        saved = Save(dialog, out + "/regtool-entry-error.png") && saved;
                        dialog->close();
                        window.reject();
                    });
                });
                window.findChild<QPushButton*>(QString::number(IDC_NEWENTRY))->click();
            });
        window.exec();
    }
    Korvel::KAccessLayer::GlobalCleanup();
    return saved ? 0 : 1;
}
