// The yardstick for Velkor's start-up: a bare Qt Widgets dialog that shows what Velkor's first screen shows
// in the same CJK faces — the six navigation items, the page's caption, its group box with three labels,
// three lists and two buttons, and a status bar — so that the ratio counts Velkor's own work, not the
// fonts every Chinese program loads.

#include <QApplication>
#include <QComboBox>
#include <QFont>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // Velkor's faces, chosen the plain way: the sans face for the dialog, the serif one for the caption.
    QFont sans;
    sans.setFamilies({QStringLiteral("Noto Sans CJK SC"), QStringLiteral("AR PL UMing CN")});
    sans.setPointSize(9);
    QApplication::setFont(sans);
    QFont serif;
    serif.setFamilies({QStringLiteral("Noto Serif CJK SC"), QStringLiteral("AR PL UMing CN")});
    serif.setPixelSize(12);
    serif.setBold(true);

    QWidget dialog;
    dialog.setWindowTitle(QStringLiteral("无线手表参数配置及信息发送工具"));
    auto* outer = new QVBoxLayout(&dialog);
    auto* row = new QHBoxLayout;
    auto* navigation = new QListWidget(&dialog);
    navigation->addItems({QStringLiteral("系统设置"), QStringLiteral("无线配置"), QStringLiteral("显示页面"),
                          QStringLiteral("手表名单"), QStringLiteral("串口配置"),
                          QStringLiteral("帮助文件")});
    row->addWidget(navigation);
    auto* page = new QVBoxLayout;
    auto* caption = new QLabel(QStringLiteral(" 系统设置"), &dialog);
    caption->setFont(serif);
    page->addWidget(caption);
    auto* group = new QGroupBox(QStringLiteral("串口参数"), &dialog);
    auto* grid = new QGridLayout(group);
    const QString labels[] = {QStringLiteral("串    口:"), QStringLiteral("波特率:"),
                              QStringLiteral("效    验:")};
    const QStringList lists[] = {{QStringLiteral("/dev/ttyUSB0")},
                                 {QStringLiteral("9600"), QStringLiteral("115200")},
                                 {QStringLiteral("NO"), QStringLiteral("ODD"), QStringLiteral("EVEN")}};
    for (int i = 0; i < 3; ++i) {
        grid->addWidget(new QLabel(labels[i], group), i, 0);
        auto* list = new QComboBox(group);
        list->addItems(lists[i]);
        grid->addWidget(list, i, 1);
    }
    grid->addWidget(new QPushButton(QStringLiteral("打开"), group), 3, 1);
    grid->addWidget(new QPushButton(QStringLiteral("刷新"), group), 4, 1);
    page->addWidget(group);
    row->addLayout(page);
    outer->addLayout(row);
    auto* status = new QStatusBar(&dialog);
    status->showMessage(QStringLiteral("串口未打开"));
    outer->addWidget(status);
    dialog.show();
    // Shown means exposed and painted: the same probe as Velkor's.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::X11ExcludeTimers);
    std::printf("shown\n");
    std::fflush(stdout);
    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    return app.exec();
}
