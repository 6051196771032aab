// The main window, its navigation, timer duties and the port settings page, offscreen.

#include "controls/color_static.h"
#include "controls/solid_list_ctrl.h"
#include "pages/dialog_page1.h"
#include "pages/dialog_page2.h"
#include "pages/dialog_page3.h"
#include "pages/dialog_page4.h"
#include "pages/dialog_page6.h"
#include "pages/watch_list_page.h"
#include "shell/status_bar.h"
#include "shell/velkor_app.h"
#include "support/recording_serial.h"
#include "support/sim_process.h"
#include "ui_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStyleOptionComboBox>
#include <QTest>
#include <QTextEdit>

using velkor::resources::ModuleIds;
using velkor::resources::PortSettingsIds;
using velkor::resources::WirelessIds;

class MainWindowTest : public QObject {
    Q_OBJECT
private:
    static QWidget* ShownPage(CVelkorDlg& w) {
        for (QWidget* page : std::initializer_list<QWidget*>{w.m_page1, w.m_page2, w.m_page3, w.m_page4,
                                                             w.m_page6, w.m_watchList}) {
            if (page->isVisible()) {
                return page;
            }
        }
        return nullptr;
    }
    static void Select(CVelkorDlg& w, std::initializer_list<int> rows) {
        w.m_navList->clearSelection();
        for (int row : rows) {
            w.m_navList->item(row)->setSelected(true);
        }
    }
    static void ClickRow(CVelkorDlg& w, int row, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        w.m_navList->scrollToItem(w.m_navList->item(row));
        QRect rect = w.m_navList->visualItemRect(w.m_navList->item(row));
        QTest::mouseClick(w.m_navList->viewport(), Qt::LeftButton, modifiers, rect.center());
    }

private slots:
    void StartUpState() {
        CVelkorDlg w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(w.windowTitle(), QStringLiteral("无线手表参数配置及信息发送工具-Zelt适用 V2.4"));
        QCOMPARE(w.m_caption->Text(), QStringLiteral(" 系统设置"));
        QCOMPARE(ShownPage(w), w.m_page1);
        QCOMPARE(w.m_navList->selectedItems().size(), 0);
        QCOMPARE(w.m_statusBar->Text(0), QStringLiteral("Close"));
        QCOMPARE(w.m_statusBar->IconId(0), 140);
        QCOMPARE(w.m_statusBar->Text(1), QStringLiteral("...."));
        QCOMPARE(w.m_statusBar->IconId(1), 155);
        QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d$"))
                    .match(w.m_statusBar->Text(2))
                    .hasMatch());
        QCOMPARE(w.m_statusBar->IconId(2), 157);
        QVERIFY(w.minimumSize() == w.maximumSize()); // fixed size
        QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
        // Pages lie over the frame, 3 px inside it.
        QCOMPARE(w.m_page1->geometry(), w.m_pageFrame->geometry().adjusted(3, 3, -3, -3));
        // Before any byte the timer never reports a frame.
        Tick(w, 10);
        QCOMPARE(w.m_statusBar->Text(1), QStringLiteral("...."));
    }

    void HiddenPagesWaitForTheFirstPaint() {
        {
            // The first page alone until the window has been painted, then all five.
            CVelkorDlg w(nullptr, CVelkorDlg::PageCreation::AfterShown);
            QVERIFY(w.m_page1 != nullptr);
            QVERIFY(w.m_page2 == nullptr && w.m_page6 == nullptr);
            w.ShowPage(0); // showing the first page again builds nothing
            QVERIFY(w.m_page6 == nullptr);
            w.show();
            QVERIFY(QTest::qWaitForWindowExposed(&w));
            QTRY_VERIFY(w.m_page6 != nullptr);
            QCOMPARE(ShownPage(w), w.m_page1);
            QCOMPARE(w.m_page6->geometry(), w.m_page1->geometry());
        }
        {
            // A page asked for before the first paint is built on the spot.
            CVelkorDlg w(nullptr, CVelkorDlg::PageCreation::AfterShown);
            w.ShowPage(4);
            QVERIFY(w.m_page6 != nullptr);
            QVERIFY(!w.m_page6->isHidden() && w.m_page1->isHidden());
        }
        {
            // So is everything the first tick needs.
            CVelkorDlg w(nullptr, CVelkorDlg::PageCreation::AfterShown);
            w.SetTimerRunning(false);
            w.OnTimer();
            QVERIFY(w.m_page2 != nullptr && w.m_page3 != nullptr);
        }
    }

    void EditsDrawEveryGbkCharacter() {
        // "≒" is the one GBK character the CJK faces lack; where users type text, another face draws it.
        // (The address fields inside the IP controls take digits only.)
        CVelkorDlg w;
        int edits = 0;
        for (QWidget* page :
             std::initializer_list<QWidget*>{w.m_page1, w.m_page2, w.m_page3, w.m_page4, w.m_page6}) {
            for (QWidget* edit : page->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
                if (qobject_cast<QLineEdit*>(edit) != nullptr || qobject_cast<QTextEdit*>(edit) != nullptr) {
                    QVERIFY2(QFontMetrics(edit->font()).inFontUcs4(0x2252), edit->metaObject()->className());
                    ++edits;
                }
            }
        }
        QVERIFY(edits >= 8);
    }

    void NavigationByMouse() {
        CVelkorDlg w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QStringList captions = {" 系统设置", " 无线配置", " 文本输入（限定42个汉字）",
                                      " 手表名单", " 串口配置", " 帮助文件"};
        const QList<QWidget*> pages = {w.m_page1, w.m_page2, w.m_page3, w.m_watchList, w.m_page6, w.m_page4};
        for (int row : {2, 5, 4, 1, 3, 0}) {
            ClickRow(w, row);
            QCOMPARE(ShownPage(w), pages[row]);
            QCOMPARE(w.m_caption->Text(), captions[row]);
        }
        // Several items highlighted: the lowest decides.
        ClickRow(w, 3);
        ClickRow(w, 1, Qt::ControlModifier);
        QCOMPARE(w.m_navList->selectedItems().size(), 2);
        QCOMPARE(ShownPage(w), w.m_page2);
        // A click that leaves nothing highlighted leaves the page as it is.
        w.m_navList->clearSelection();
        emit w.m_navList->NavClicked();
        QCOMPARE(ShownPage(w), w.m_page2);
    }

    void NavigationByKeyboard() {
        CVelkorDlg w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.m_navList->setFocus();
        // Nothing highlighted: Down changes no page.
        QTest::keyClick(w.m_navList, Qt::Key_Down);
        QCOMPARE(ShownPage(w), w.m_page1);

        Select(w, {0});
        QTest::keyClick(w.m_navList, Qt::Key_Down);
        QCOMPARE(ShownPage(w), w.m_page2);
        Select(w, {0});
        QTest::keyClick(w.m_navList, Qt::Key_Up); // Up on the first item
        QCOMPARE(ShownPage(w), w.m_page2);
        Select(w, {5});
        w.ShowPage(5);
        QTest::keyClick(w.m_navList, Qt::Key_Down); // Down on the last item
        QCOMPARE(ShownPage(w), w.m_page4);
        Select(w, {1});
        QTest::keyClick(w.m_navList, Qt::Key_PageDown);
        QCOMPARE(ShownPage(w), w.m_page4);
        QCOMPARE(w.m_caption->Text(), QStringLiteral(" 帮助文件"));
        Select(w, {3});
        QTest::keyClick(w.m_navList, Qt::Key_PageUp);
        QCOMPARE(ShownPage(w), w.m_page1);
        Select(w, {2});
        QTest::keyClick(w.m_navList, Qt::Key_End);
        QTest::keyClick(w.m_navList, Qt::Key_Home);
        QCOMPARE(ShownPage(w), w.m_page1);
        // Several highlighted: Down goes on from the lowest.
        Select(w, {3, 1});
        QTest::keyClick(w.m_navList, Qt::Key_Down);
        QCOMPARE(ShownPage(w), w.m_page3);
    }

    void ReturnAndEscapeCloseNothing() {
        CVelkorDlg w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        Select(w, {1});
        w.ShowPage(1);
        for (int key : {Qt::Key_Return, Qt::Key_Escape, Qt::Key_Enter}) {
            QTest::keyClick(w.m_navList, static_cast<Qt::Key>(key));
            QTest::keyClick(&w, static_cast<Qt::Key>(key));
            QTest::keyClick(w.m_page2->Control(WirelessIds::WatchFrequency), static_cast<Qt::Key>(key));
        }
        QVERIFY(w.isVisible());
        QCOMPARE(ShownPage(w), w.m_page2);
        QCOMPARE(w.m_navList->selectedItems().size(), 1);
    }

    void EveryNavigationItemShowsWithoutScrolling() {
        // The list has no scroll bar: an item below its fold is one a user never finds.
        CVelkorDlg w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(w.m_navList->count(), 6);
        QCOMPARE(w.m_navList->verticalScrollBar()->maximum(), 0);
        const QRect room = w.m_navList->viewport()->rect();
        for (int i = 0; i < w.m_navList->count(); ++i) {
            const QRect rect = w.m_navList->visualItemRect(w.m_navList->item(i));
            QVERIFY2(room.contains(rect), qPrintable(w.m_navList->item(i)->text()));
            // The icon and the text under it fit the row.
            QVERIFY2(rect.height() >= w.m_navList->iconSize().height() + w.m_navList->fontMetrics().height(),
                     qPrintable(w.m_navList->item(i)->text()));
        }
        // The seed's five keep their order, the watch list after the text page.
        QStringList texts;
        for (int i = 0; i < w.m_navList->count(); ++i) {
            texts << w.m_navList->item(i)->text();
        }
        QCOMPARE(texts, (QStringList{QStringLiteral("系统设置"), QStringLiteral("无线配置"),
                                     QStringLiteral("显示页面"), QStringLiteral("手表名单"),
                                     QStringLiteral("串口配置"), QStringLiteral("帮助文件")}));
    }

    void WheelScrollsByTheWheelAmount() {
        // A list with more rows than fit: ten of 60 px in 200 (the window's own list shows all of its).
        CSolidListCtrl list;
        list.resize(80, 200);
        list.setGridSize(QSize(78, 60));
        for (int i = 0; i < 10; ++i) {
            list.addItem(QString::number(i));
            list.item(i)->setSizeHint(QSize(78, 60));
        }
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));
        QScrollBar* bar = list.verticalScrollBar();
        QTRY_VERIFY(bar->maximum() > 0);
        QVERIFY(!bar->isVisible());
        auto wheel = [&](int delta) {
            QPoint at = list.viewport()->rect().center();
            QWheelEvent event(at, list.viewport()->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton,
                              Qt::NoModifier, Qt::NoScrollPhase, false);
            QApplication::sendEvent(list.viewport(), &event);
        };
        wheel(-10); // towards the user: towards the last item
        QCOMPARE(bar->value(), 10);
        wheel(-1000);
        QCOMPARE(bar->value(), bar->maximum());
        wheel(120); // one notch away: 120 px towards the first item
        QCOMPARE(bar->value(), std::max(0, bar->maximum() - 120));
    }

    void TimerDutiesInOrder() {
        CVelkorDlg w;
        w.SetTimerRunning(false);
        w.show();
        QStringList duties;
        w.SetTickObserver([&](const char* duty) { duties << QString::fromLatin1(duty); });
        w.Link().Buffer().Append(0x00);
        Tick(w, 3);
        QCOMPARE(duties.count(QStringLiteral("frame")), 0);
        duties.clear();
        Tick(w, 1); // the fourth tick after the byte
        QCOMPARE(duties, (QStringList{"clock", "frame", "text", "wireless", "port"}));
        QCOMPARE(w.m_statusBar->Text(1), QStringLiteral("Success!"));
    }

    void FrameWhileAnotherPageIsShownIsDropped() {
        BoxDismisser boxes;
        CVelkorDlg w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        for (uint8_t byte : {0xFA, 0x80, 0xF2, 0x00, 0x6C, 0x0D}) {
            w.Link().Buffer().Append(byte);
        }
        Tick(w, 4);
        QCOMPARE(w.m_statusBar->Text(1), QStringLiteral("Success!"));
        w.ShowPage(4); // the module page afterwards shows nothing
        Tick(w, 10);
        QCOMPARE(boxes.Seen().size(), 0);
        QCOMPARE(w.Link().Buffer().Count(), 0);
    }

    void OpenAndCloseTheSimulatorsPort() {
        SimProcess sim;
        QVERIFY(sim.Ready());
        qputenv("VELKOR_PORTS", sim.Link().c_str());
        CVelkorDlg w;
        w.show();
        auto* button = w.m_page1->Get<QPushButton>(PortSettingsIds::OpenClose);
        auto* ports = w.m_page1->Get<QComboBox>(PortSettingsIds::Port);
        QVERIFY(ports->findText(QString::fromStdString(sim.Link())) >= 0);
        QCOMPARE(ports->currentIndex(), 0);
        QVERIFY(OpenThroughPage(w, QString::fromStdString(sim.Link()), 7, 2)); // 115200, EVEN
        QCOMPARE(w.Link().BaudRate(), 115200);
        QVERIFY(w.Link().LineParity() == velkor::Parity::Even);
        QCOMPARE(button->text(), QStringLiteral("关闭"));
        for (int id : {PortSettingsIds::Port, PortSettingsIds::Baud, PortSettingsIds::Parity,
                       PortSettingsIds::Refresh}) {
            QVERIFY(!w.m_page1->Control(id)->isEnabled());
        }
        QCOMPARE(w.m_statusBar->Text(0), QStringLiteral("Close"));
        Tick(w);
        QCOMPARE(w.m_statusBar->Text(0), QStringLiteral("Open"));
        QCOMPARE(w.m_statusBar->IconId(0), 141);
        w.m_statusBar->SetText(0, QStringLiteral("x"));
        Tick(w); // between events part 0 is not rewritten
        QCOMPARE(w.m_statusBar->Text(0), QStringLiteral("x"));

        // Closing works whatever the lists show.
        button->click();
        QVERIFY(!w.Link().IsOpen());
        QCOMPARE(button->text(), QStringLiteral("打开"));
        for (int id : {PortSettingsIds::Port, PortSettingsIds::Baud, PortSettingsIds::Parity,
                       PortSettingsIds::Refresh}) {
            QVERIFY(w.m_page1->Control(id)->isEnabled());
        }
        Tick(w);
        QCOMPARE(w.m_statusBar->Text(0), QStringLiteral("Close"));
        QCOMPARE(w.m_statusBar->IconId(0), 140);
        qunsetenv("VELKOR_PORTS");
    }

    void FailedOpenChangesOnlyTheStatus() {
        SimProcess sim;
        qputenv("VELKOR_PORTS", sim.Link().c_str());
        CVelkorDlg w;
        w.show();
        auto* ports = w.m_page1->Get<QComboBox>(PortSettingsIds::Port);
        ports->setCurrentIndex(ports->findText(QString::fromStdString(sim.Link())));
        // Another program takes the port after the list was built.
        RecordingSerial other;
        QCOMPARE(other.Open(sim.Link(), 9600, velkor::Parity::None), 1);
        w.m_statusBar->SetText(0, QStringLiteral("Open"));
        w.m_page1->Get<QPushButton>(PortSettingsIds::OpenClose)->click();
        QVERIFY(!w.Link().IsOpen());
        QCOMPARE(w.m_page1->Get<QPushButton>(PortSettingsIds::OpenClose)->text(), QStringLiteral("打开"));
        QVERIFY(ports->isEnabled());
        QCOMPARE(ports->currentText(), QString::fromStdString(sim.Link()));
        Tick(w);
        QCOMPARE(w.m_statusBar->Text(0), QStringLiteral("Close"));
        // A port another program holds is not listed.
        w.m_page1->Get<QPushButton>(PortSettingsIds::Refresh)->click();
        QCOMPARE(ports->findText(QString::fromStdString(sim.Link())), -1);
        qunsetenv("VELKOR_PORTS");
    }

    void PortLostWhileOpen() {
        auto sim = std::make_unique<SimProcess>(std::vector<std::string>{"--hangup-after", "1"});
        std::string link = sim->Link();
        qputenv("VELKOR_PORTS", link.c_str());
        CVelkorDlg w;
        w.show();
        QVERIFY(OpenThroughPage(w, QString::fromStdString(link)));
        Tick(w);
        QCOMPARE(w.m_statusBar->Text(0), QStringLiteral("Open"));
        w.m_page2->Get<QPushButton>(WirelessIds::WriteTransmitterChannel)
            ->click(); // one frame: the simulator hangs up
        QVERIFY(WaitUntil([&] { return !w.Link().IsOpen(); }));
        Tick(w); // within one tick
        QCOMPARE(w.m_statusBar->Text(0), QStringLiteral("Close"));
        QCOMPARE(w.m_statusBar->IconId(0), 140);
        QCOMPARE(w.m_page1->Get<QPushButton>(PortSettingsIds::OpenClose)->text(), QStringLiteral("打开"));
        QVERIFY(w.m_page1->Control(PortSettingsIds::Refresh)->isEnabled());
        // The device is back: reopening works from the page.
        sim.reset();
        SimProcess again({"--link", link});
        QVERIFY(again.Ready());
        QVERIFY(OpenThroughPage(w, QString::fromStdString(link)));
        Tick(w);
        QCOMPARE(w.m_statusBar->Text(0), QStringLiteral("Open"));
        w.Link().Close();
        qunsetenv("VELKOR_PORTS");
    }

    void AboutBoxFromTheContextMenu() {
        BoxDismisser boxes;
        CVelkorDlg w;
        w.show();
        w.OnAbout();
        QCOMPARE(boxes.Seen().size(), 1);
        QCOMPARE(boxes.Seen().first().caption, QStringLiteral("关于 Velkor"));
        QCOMPARE(boxes.Seen().first().buttons, QStringList{QStringLiteral("确定")});
    }

    // A lookup by a wrong id or as the wrong kind of control stops a test build at once, naming the
    // template, the id and both types, instead of handing back a null pointer to crash on later.
    void AWrongControlLookupStopsTheProgram() {
#ifdef QT_NO_DEBUG
        QSKIP("release builds log a wrong lookup and go on");
#endif
        const QByteArray which = qgetenv("VELKOR_WRONG_LOOKUP");
        if (!which.isEmpty()) {
            velkor::DeviceLink link;
            CDialog_Page6 page(nullptr, link);
            if (which == "kind") {
                page.Get<QComboBox>(ModuleIds::Frequency); // an edit
            } else {
                page.Get<QComboBox>(WirelessIds::AddressSlot); // no such id on this page
            }
            return;
        }
        struct Case {
            const char* which;
            const char* message;
        };
        for (const Case& c :
             {Case{"kind", "dialog template 137, control 1004: QLineEdit where a QComboBox was expected"},
              Case{"id", "dialog template 137, control 1013: no such control (a QComboBox was expected)"}}) {
            QProcess child;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("VELKOR_WRONG_LOOKUP"), QString::fromLatin1(c.which));
            child.setProcessEnvironment(environment);
            child.setProcessChannelMode(QProcess::MergedChannels); // the test library prints the message
            child.start(
                QCoreApplication::applicationFilePath(),
                {QStringLiteral("-nocrashhandler"), QStringLiteral("AWrongControlLookupStopsTheProgram")});
            QVERIFY(child.waitForFinished(30000));
            QCOMPARE(child.exitStatus(), QProcess::CrashExit);
            QVERIFY2(child.readAll().contains(c.message), c.which);
        }
    }

    // Every caption and list item fits its control, in the fonts this machine has.
    void EveryTextFitsItsControl() {
        CVelkorDlg w;
        w.show();
        for (QWidget* page :
             std::initializer_list<QWidget*>{w.m_page1, w.m_page2, w.m_page3, w.m_page4, w.m_page6}) {
            for (auto* button : page->findChildren<QPushButton*>()) {
                QVERIFY2(button->fontMetrics().horizontalAdvance(button->text()) + 8 <= button->width(),
                         qPrintable(button->text()));
            }
            for (auto* label : page->findChildren<QLabel*>()) {
                if (!label->text().isEmpty()) {
                    QVERIFY2(label->fontMetrics().horizontalAdvance(label->text()) <= label->width(),
                             qPrintable(label->text()));
                    QVERIFY2(label->fontMetrics().height() <= label->height() + 4, qPrintable(label->text()));
                }
            }
            for (auto* check : page->findChildren<QCheckBox*>()) {
                QVERIFY2(check->sizeHint().width() <= check->width() + 2, qPrintable(check->text()));
            }
            for (auto* combo : page->findChildren<QComboBox*>()) {
                QStyleOptionComboBox option;
                option.initFrom(combo);
                QRect field = combo->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                             QStyle::SC_ComboBoxEditField, combo);
                for (int i = 0; i < combo->count(); ++i) {
                    QVERIFY2(combo->fontMetrics().horizontalAdvance(combo->itemText(i)) <= field.width(),
                             qPrintable(QStringLiteral("%1: %2 > %3")
                                            .arg(combo->itemText(i))
                                            .arg(combo->fontMetrics().horizontalAdvance(combo->itemText(i)))
                                            .arg(field.width())));
                }
            }
            for (auto* box : page->findChildren<QGroupBox*>()) {
                // The title, indented from the corner, stays inside the box.
                QStyleOptionGroupBox option;
                option.initFrom(box);
                option.text = box->title();
                option.textAlignment = box->alignment();
                option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
                QRect title =
                    box->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, box);
                QVERIFY2(title.left() > 0 && box->rect().contains(title), qPrintable(box->title()));
                QVERIFY2(box->fontMetrics().horizontalAdvance(box->title()) <= title.width(),
                         qPrintable(box->title()));
            }
            QVERIFY(page->childrenRect().right() <= page->width());
            QVERIFY(page->childrenRect().bottom() <= page->height());
        }
        for (int i = 0; i < w.m_navList->count(); ++i) {
            QVERIFY(w.m_navList->fontMetrics().horizontalAdvance(w.m_navList->item(i)->text()) <=
                    w.m_navList->gridSize().width());
        }
    }
};

int main(int argc, char** argv) {
    CVelkorApp app(argc, argv); // the program's own start-up: fonts, Chinese standard buttons
    MainWindowTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "main_window_test.moc"
