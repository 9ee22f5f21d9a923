// Pictures of the registration tool's window for the README: the main
// window listing two recorded appliances (one answering, one not) and the
// entry dialog showing the error of a refused key. Meant to run under a real
// X server (scripts/screenshot uses xvfb-run) so the pictures show the
// platform's own drawing.
//   regtool-screenshot OUTPUT_FOLDER
#include <qsta/Simulator.h>

#include <QApplication>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
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
        CKorvelRegGUI window;
        window.show();
        // Once the window is drawn: picture it, then open the entry dialog
        // with a wrong key and picture the error it shows.
        QTimer::singleShot(300, &window, [&] {
            saved = Save(&window, out + "/regtool-main.png");
            QTimer::singleShot(300, &window, [&] {
                QWidget* dialog = QApplication::activeModalWidget();
                if (dialog == nullptr) return window.reject();
                dialog->findChild<QLineEdit*>(QString::number(IDC_ARRAYIP))->setText("127.0.0.1:1");
                dialog->findChild<QLineEdit*>(QString::number(IDC_ACCESSKEY))->setText("not-the-key");
                dialog->findChild<QPushButton*>(QString::number(IDOK))->click();
                QTimer::singleShot(300, dialog, [&, dialog] {
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
