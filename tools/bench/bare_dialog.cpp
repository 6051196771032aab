// The yardstick for Velkor's start-up: a bare Qt Widgets dialog with one list, one edit and a status bar.

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget dialog;
    auto* layout = new QVBoxLayout(&dialog);
    auto* list = new QListWidget(&dialog);
    list->addItems({QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("three")});
    layout->addWidget(list);
    layout->addWidget(new QLineEdit(&dialog));
    auto* status = new QStatusBar(&dialog);
    status->showMessage(QStringLiteral("ready"));
    layout->addWidget(status);
    dialog.show();
    // Shown means exposed and painted: the same probe as Velkor's.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::X11ExcludeTimers);
    std::printf("shown\n");
    std::fflush(stdout);
    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    return app.exec();
}
