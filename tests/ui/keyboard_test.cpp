// The window driven as a user without a mouse would: Return on buttons, a screen reader's actions, text
// typed into drop-down combo boxes, typing limits after a read-back, and the help page's items.

#include "controls/solid_list_ctrl.h"
#include "frames/version.h"
#include "pages/dialog_page2.h"
#include "pages/dialog_page3.h"
#include "pages/dialog_page4.h"
#include "pages/dialog_page6.h"
#include "shell/velkor_app.h"
#include "support/sim_process.h"
#include "ui_support.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>

using velkor::resources::HelpIds;
using velkor::resources::ModuleIds;
using velkor::resources::TextMessageIds;
using velkor::resources::WirelessIds;

class KeyboardTest : public SimWindowTest {
    Q_OBJECT
private:
    bool Start() {
        if (!StartSession({}, false)) {
            return false;
        }
        QApplication::setActiveWindow(m_window.get());
        return true;
    }
    // The bytes of the next frame the simulator received, after events (a click's signal) have run.
    std::string Sent() {
        QCoreApplication::processEvents();
        return NextSimFrame(*m_sim, 2000).bytes;
    }
    static QComboBox* Combo(CPage* page, int id) { return page->Get<QComboBox>(id); }

private slots:
    void cleanup() { EndSession(); }

    void ReturnPressesTheFocusedButtonAndClosesNothing() {
        BoxDismisser boxes;
        QVERIFY(Start());
        m_window->ShowPage(4);
        QPushButton* read = Button(m_window->m_page6, ModuleIds::ReadConfig);
        read->setFocus();
        QTest::keyClick(read, Qt::Key_Return);
        QCOMPARE(Sent(), std::string("FA 80 F4 00 6E 0D"));
        QPushButton* reset = Button(m_window->m_page6, ModuleIds::Reset);
        reset->setFocus();
        QTest::keyClick(reset, Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(Sent(), std::string("FA 80 F2 00 6C 0D"));

        // In an edit, or with Escape on a button, nothing is sent and nothing closes.
        Edit(m_window->m_page6, ModuleIds::Frequency)->setFocus();
        QTest::keyClick(Edit(m_window->m_page6, ModuleIds::Frequency), Qt::Key_Return);
        QTest::keyClick(reset, Qt::Key_Escape);
        QTest::keyClick(m_window->m_navList, Qt::Key_Return);
        QCOMPARE(NextSimFrame(*m_sim, 300).bytes, std::string());
        QVERIFY(m_window->isVisible());
        QVERIFY(m_window->m_page6->isVisible());

        // The wireless page's buttons too.
        m_window->ShowPage(1);
        QPushButton* time = Button(m_window->m_page2, WirelessIds::WriteTime);
        time->setFocus();
        QTest::keyClick(time, Qt::Key_Return);
        QCOMPARE(Sent().substr(0, 20), std::string("5A 00 FF FF FF FF E4"));
    }

    void AScreenReadersToggleStartsAndStopsTimedSending() {
        BoxDismisser boxes;
        QVERIFY(Start());
        m_window->ShowPage(2);
        m_window->m_page3->Get<QTextEdit>(TextMessageIds::Text)->setPlainText(QStringLiteral("abc"));
        auto* autoSend = m_window->m_page3->Get<QCheckBox>(TextMessageIds::AutoSend);
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(autoSend);
        QVERIFY(accessible != nullptr && accessible->actionInterface() != nullptr);
        QVERIFY(accessible->actionInterface()->actionNames().contains(
            QAccessibleActionInterface::toggleAction()));
        accessible->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        QVERIFY(autoSend->isChecked());
        Tick(*m_window, 101); // "10S": a frame after 100 ticks
        SimFrame frame = NextSimFrame(*m_sim, 2000);
        QVERIFY2(frame.valid && frame.bytes.find(" E0 03 61 62 63 ") != std::string::npos,
                 frame.line.c_str());
        accessible->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        QVERIFY(!autoSend->isChecked());
        Tick(*m_window, 101);
        QCOMPARE(NextSimFrame(*m_sim, 300).bytes, std::string()); // stopped
    }

    void TypedTextThatIsNoItemLeavesNoSelection() {
        BoxDismisser boxes;
        QVERIFY(Start());
        QComboBox* slot = Combo(m_window->m_page2, WirelessIds::AddressSlot);
        QVERIFY(slot->isEditable());
        slot->lineEdit()->clear();
        QTest::keyClicks(slot->lineEdit(), QStringLiteral("Addr3"));
        Button(m_window->m_page2, WirelessIds::WriteHostAddress)->click();
        QCOMPARE(Sent().substr(36, 2), std::string("02")); // typing an item's text selects it
        slot->lineEdit()->clear();
        QTest::keyClicks(slot->lineEdit(), QStringLiteral("Addr11"));
        QCOMPARE(slot->count(), 10); // nothing added
        Button(m_window->m_page2, WirelessIds::WriteHostAddress)->click();
        QCOMPARE(Sent().substr(36, 2), std::string("FF"));

        CDialog_Page6* module = m_window->m_page6;
        m_window->ShowPage(4);
        QComboBox* sleep = Combo(module, ModuleIds::SleepPeriod);
        sleep->lineEdit()->clear();
        QTest::keyClicks(sleep->lineEdit(), QStringLiteral("3s"));
        QTest::keyClick(sleep->lineEdit(), Qt::Key_Return);
        Button(module, ModuleIds::WriteConfig)->click();
        QCOMPARE(Sent().substr(21, 2), std::string("FF"));
        sleep->lineEdit()->clear();
        QTest::keyClicks(sleep->lineEdit(), QStringLiteral("8s"));
        Button(module, ModuleIds::WriteConfig)->click();
        QCOMPARE(Sent().substr(21, 2), std::string("03"));

        // The interval keeps its value for a text that is no item.
        QComboBox* interval = Combo(m_window->m_page3, TextMessageIds::Interval);
        interval->lineEdit()->clear();
        QTest::keyClicks(interval->lineEdit(), QStringLiteral("7S"));
        QCOMPARE(interval->currentIndex(), 1); // still "10S"
        QCOMPARE(interval->currentText(), QStringLiteral("7S"));
    }

    void TypingStaysWithinTheLimitAfterALongerReadBack() {
        BoxDismisser boxes;
        QVERIFY(Start());
        m_window->ShowPage(4);
        CDialog_Page6* module = m_window->m_page6;
        const uint8_t store[] = {0xFA, 0x80, 0xFB, 0x04, 0x80, 0x00, 0x00, 0x00, 0xF9, 0x0D};
        QVERIFY(m_window->Link().Send(store));
        QVERIFY(NextSimFrame(*m_sim).valid);
        QVERIFY(WaitUntil([&] { return m_window->Link().Buffer().Count() >= 6; }));
        Tick(*m_window, 5);
        QVERIFY(boxes.WaitFor(1));
        Button(module, ModuleIds::ReadWatchAddress)->click();
        QVERIFY(NextSimFrame(*m_sim).valid);
        QLineEdit* address = Edit(module, ModuleIds::WatchAddress);
        QVERIFY(WaitUntil([&] {
            Tick(*m_window);
            return address->text() == QStringLiteral("-2147483648"); // shown whole
        }));
        address->setFocus();
        address->end(false);
        QTest::keyClicks(address, QStringLiteral("1"));
        QCOMPARE(address->text(), QStringLiteral("-2147483648")); // no typing past the limit of 8
        for (int i = 0; i < 4; ++i) {
            QTest::keyClick(address, Qt::Key_Backspace);
        }
        QTest::keyClicks(address, QStringLiteral("999"));
        QCOMPARE(address->text(), QStringLiteral("-2147489")); // back to 8, and no further
        QTest::keyClicks(address, QStringLiteral("9"));
        QCOMPARE(address->text().size(), 8);
    }

    void TheHelpPageShowsItsIconAndTwoLines() {
        m_window = std::make_unique<CVelkorDlg>();
        m_window->show();
        m_window->ShowPage(5);
        CDialog_Page4* help = m_window->m_page4;
        auto* icon = help->Get<QLabel>(HelpIds::Icon);
        QVERIFY(icon != nullptr && !icon->pixmap().isNull());
        QVERIFY2(icon->pixmap().width() <= icon->width() && icon->pixmap().height() <= icon->height(),
                 qPrintable(QStringLiteral("%1 px icon in a %2 x %3 label")
                                .arg(icon->pixmap().width())
                                .arg(icon->width())
                                .arg(icon->height())));
        auto* first = help->Get<QLabel>(HelpIds::Version);
        auto* second = help->Get<QLabel>(HelpIds::ProductName);
        QVERIFY(first != nullptr && second != nullptr);
        QVERIFY(first->text().contains(QStringLiteral(VELKOR_VERSION)));
        QVERIFY(first->geometry().bottom() < second->geometry().top());
        for (QLabel* line : {first, second}) {
            QVERIFY(line->isVisible() && !line->text().isEmpty());
            QVERIFY(line->fontMetrics().horizontalAdvance(line->text()) <= line->width());
        }
    }
};

int main(int argc, char** argv) {
    CVelkorApp app(argc, argv);
    KeyboardTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "keyboard_test.moc"
