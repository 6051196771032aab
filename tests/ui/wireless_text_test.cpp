// The wireless configuration and text message pages against velkor-sim on a real port: every byte on
// the line, and the simulator's decoder must call every frame valid.

#include "controls/ip_address_ctrl.h"
#include "frames/text_encoding.h"
#include "pages/dialog_page1.h"
#include "pages/dialog_page2.h"
#include "pages/dialog_page3.h"
#include "shell/status_bar.h"
#include "shell/velkor_app.h"
#include "support/child_process.h"
#include "support/sim_process.h"
#include "ui_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

using velkor::resources::TextMessageIds;
using velkor::resources::WirelessIds;

namespace {
const QString k42 =
    QStringLiteral("欢迎光临本店请稍候您的餐品马上就好谢谢惠顾祝您用餐愉快下次再来一号桌客人请到前台取餐");
const char* k42Gbk =
    "BB B6 D3 AD B9 E2 C1 D9 B1 BE B5 EA C7 EB C9 D4 BA F2 C4 FA B5 C4 B2 CD C6 B7 C2 ED C9 CF BE CD "
    "BA C3 D0 BB D0 BB BB DD B9 CB D7 A3 C4 FA D3 C3 B2 CD D3 E4 BF EC CF C2 B4 CE D4 D9 C0 B4 D2 BB "
    "BA C5 D7 C0 BF CD C8 CB C7 EB B5 BD C7 B0 CC A8 C8 A1 B2 CD";
} // namespace

class WirelessTextTest : public SimWindowTest {
    Q_OBJECT
private:
    QTextEdit* TextField() { return m_window->m_page3->Get<QTextEdit>(TextMessageIds::Text); }
    CDialog_Page3* Page3() { return m_window->m_page3; }
    std::string Sent() {
        SimFrame frame = NextSimFrame(*m_sim);
        EXPECT_VALID(frame);
        return frame.bytes;
    }
    static void EXPECT_VALID(const SimFrame& frame) { QVERIFY2(frame.valid, frame.line.c_str()); }

private slots:
    void init() { QVERIFY(StartSession({}, false)); } // ticks come from the test
    void cleanup() { EndSession(); }

    void WirelessStartUpState() {
        CDialog_Page2* page = m_window->m_page2;
        QCOMPARE(page->Get<CIPAddressCtrl>(WirelessIds::WatchAddress)->GetAddress(), 0U);
        QCOMPARE(page->Get<CIPAddressCtrl>(WirelessIds::HostAddress)->GetAddress(), 0U);
        QCOMPARE(Edit(page, WirelessIds::WatchFrequency)->text(), QStringLiteral("434.00"));
        QCOMPARE(Edit(page, WirelessIds::WatchFrequency)->maxLength(), 6);
        QCOMPARE(Edit(page, WirelessIds::WatchNetworkId)->text(), QStringLiteral("0"));
        QCOMPARE(Edit(page, WirelessIds::TransmitterNetworkId)->maxLength(), 3);
        QCOMPARE(page->Get<QComboBox>(WirelessIds::AddressSlot)->currentText(), QStringLiteral("Addr1"));
        for (int id : {WirelessIds::AddressBroadcast, WirelessIds::WatchChannelBroadcast,
                       WirelessIds::TransmitterChannelBroadcast}) {
            QVERIFY(!page->Control(id)->isEnabled());
        }
        // The clock: "%Y-%m-%d %H:%M:%S" and today's weekday, refreshed on every tick, shown or hidden.
        Edit(page, WirelessIds::Clock)->setText(QStringLiteral("stale"));
        Tick(*m_window);
        QVERIFY(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$"))
                    .match(Edit(page, WirelessIds::Clock)->text())
                    .hasMatch());
        int weekday = (QDate::currentDate().dayOfWeek() + 6) % 7; // Qt: Monday 1
        QCOMPARE(page->Get<QComboBox>(WirelessIds::Weekday)->currentIndex(), weekday);
        QCOMPARE(page->SequenceCounter(), 0);
    }

    void HostAddressAtStartUp() {
        Button(m_window->m_page2, WirelessIds::WriteHostAddress)->click();
        QCOMPARE(Sent(), std::string("5A 01 00 00 00 00 E3 06 00 00 00 00 00 00 44"));
    }

    void WatchChannelAtStartUpAndTheAddressControl() {
        CDialog_Page2* page = m_window->m_page2;
        Button(page, WirelessIds::WriteWatchChannel)->click();
        QCOMPARE(Sent(), std::string("5A 01 00 00 00 00 E2 05 6C 80 12 00 FE 3E"));
        page->Get<CIPAddressCtrl>(WirelessIds::WatchAddress)->SetAddress(0x01020304);
        page->Get<CIPAddressCtrl>(WirelessIds::HostAddress)->SetAddress(0xC0A80164);
        Button(page, WirelessIds::WriteHostAddress)->click();
        QCOMPARE(Sent(), std::string("5A 02 01 02 03 04 E3 06 C0 A8 01 64 00 CD E9"));
        Button(page, WirelessIds::ClearAddress)->click(); // "清空地址": nothing sent
        QCOMPARE(page->Get<CIPAddressCtrl>(WirelessIds::WatchAddress)->GetAddress(), 0U);
        Edit(page, WirelessIds::WatchFrequency)->setText(QStringLiteral("4e2"));
        Edit(page, WirelessIds::WatchNetworkId)->setText(QStringLiteral("300"));
        Button(page, WirelessIds::WriteWatchChannel)->click();
        QCOMPARE(Sent(), std::string("5A 03 00 00 00 00 E2 05 64 00 10 2C A0 84"));
        Edit(page, WirelessIds::WatchFrequency)->setText(QStringLiteral("abc"));
        Button(page, WirelessIds::WriteWatchChannel)->click();
        QCOMPARE(Sent(), std::string("5A 04 00 00 00 00 E2 05 00 00 00 2C 2C 9D"));
    }

    void TransmitterChannelShowsDots() {
        m_window->m_statusBar->SetText(1, QStringLiteral("x"));
        Button(m_window->m_page2, WirelessIds::WriteTransmitterChannel)->click();
        QCOMPARE(Sent(), std::string("AF AF 00 00 AF 80 01 0C 04 00 6C 80 12 0B 01 07 00 00 00 07 B6 0D 0A"));
        QCOMPARE(m_window->m_statusBar->Text(1), QStringLiteral("...."));
        QCOMPARE(m_window->m_page2->SequenceCounter(), 0);
    }

    void TimeFrameFromTheClockText() {
        CDialog_Page2* page = m_window->m_page2;
        Edit(page, WirelessIds::Clock)->setText(QStringLiteral("2017-05-12 13:45:30"));
        page->Get<QComboBox>(WirelessIds::Weekday)->setCurrentIndex(4);
        page->Get<CIPAddressCtrl>(WirelessIds::WatchAddress)->SetAddress(0x01020304);
        Button(page, WirelessIds::WriteTime)->click();
        QCOMPARE(Sent(), std::string("5A 00 FF FF FF FF E4 08 11 05 0C 0D 2D 1E 04 7E 3E"));
        QCOMPARE(page->SequenceCounter(), 0);
    }

    void WirelessSequenceWrapsUndisturbed() {
        CDialog_Page2* page = m_window->m_page2;
        for (int i = 1; i <= 257; ++i) {
            Button(page, WirelessIds::WriteHostAddress)->click();
            if (i == 100) {
                Button(page, WirelessIds::WriteTime)
                    ->click(); // the time frame and the transmitter frame take no number
                Button(page, WirelessIds::WriteTransmitterChannel)->click();
            }
        }
        std::vector<std::string> sequences;
        for (int i = 0; i < 259; ++i) {
            SimFrame frame = NextSimFrame(*m_sim);
            QVERIFY2(frame.valid, frame.line.c_str());
            if (frame.bytes.rfind("5A", 0) == 0 && frame.bytes.substr(18, 2) == "E3") {
                sequences.push_back(frame.bytes.substr(3, 2));
            }
        }
        QCOMPARE(sequences.size(), 257U);
        QCOMPARE(sequences[0], std::string("01"));
        QCOMPARE(sequences[254], std::string("FF"));
        QCOMPARE(sequences[255], std::string("00"));
        QCOMPARE(sequences[256], std::string("01"));
    }

    // One counter a device for the window and velkor-cli: the window's frames go on after the numbers
    // velkor-cli sent while the window had the port closed, on both pages.
    void NumbersGoOnFromThoseVelkorCliSent() {
        m_window->m_page1->Get<QPushButton>(velkor::resources::PortSettingsIds::OpenClose)->click();
        QVERIFY(!m_window->Link().IsOpen());
        for (const char* text : {"one", "two"}) {
            ChildProcess cli({VELKOR_CLI_PATH, "text", m_sim->Link(), text});
            QCOMPARE(cli.Wait(std::chrono::seconds(20)), 0);
            QVERIFY(NextSimFrame(*m_sim).valid);
        }
        QVERIFY(OpenThroughPage(*m_window, QString::fromStdString(m_sim->Link())));
        Button(m_window->m_page2, WirelessIds::WriteHostAddress)->click();
        QCOMPARE(Sent().substr(0, 5), std::string("5A 03"));
        TextField()->setPlainText(QStringLiteral("hi"));
        Button(Page3(), TextMessageIds::Send)->click();
        QCOMPARE(Sent().substr(0, 5), std::string("5A 04"));
        QCOMPARE(Page3()->SequenceCounter(), 4);
    }

    void TextStartUpState() {
        QCOMPARE(Page3()->Get<CIPAddressCtrl>(TextMessageIds::Address)->GetAddress(), 0xFFFFFFFFU);
        QCOMPARE(Page3()->Get<QComboBox>(TextMessageIds::Interval)->currentText(), QStringLiteral("10S"));
        QCOMPARE(Page3()->SendInterval(), 100);
        QCOMPARE(Page3()->TickCounter(), -1);
        QVERIFY(!Page3()->Get<QCheckBox>(TextMessageIds::AutoSend)->isChecked());
        QTextCharFormat format = TextField()->currentCharFormat();
        QCOMPARE(format.fontPointSize(), 28.8);
        QVERIFY(!format.font().bold() && !format.font().italic() && !format.font().underline());
        QCOMPARE(format.foreground().color(), QColor(Qt::black));
    }

    void TextFramesAndLimits() {
        BoxDismisser boxes;
        TextField()->setPlainText(QStringLiteral("abc"));
        Button(Page3(), TextMessageIds::Send)->click();
        QCOMPARE(Sent(), std::string("5A 01 FF FF FF FF E0 03 61 62 63 60"));

        TextField()->setPlainText(k42); // 84 bytes: whole, no warning
        Button(Page3(), TextMessageIds::Send)->click();
        std::string frame = Sent();
        QCOMPARE(frame.size(), 93U * 3 - 1);
        QCOMPARE(frame.substr(24, std::strlen(k42Gbk)), std::string(k42Gbk));
        QCOMPARE(boxes.Seen().size(), 0);

        TextField()->setPlainText(QStringLiteral("a") + k42); // 85 bytes: a warning, then 83 bytes
        Button(Page3(), TextMessageIds::Send)->click();
        QCOMPARE(boxes.Seen().size(), 1);
        QCOMPARE(boxes.Seen()[0].text, QStringLiteral("发送的文本最大限制42个汉字,超出部分将不被发送."));
        QCOMPARE(boxes.Seen()[0].caption, QStringLiteral("提示."));
        QCOMPARE(boxes.Seen()[0].buttons, QStringList{QStringLiteral("确定")});
        frame = Sent();
        QCOMPARE(frame.size(), 92U * 3 - 1);
        QCOMPARE(frame.substr(21, 5), std::string("53 61")); // length 83, then "a"
        QCOMPARE(Page3()->SequenceCounter(), 3);

        // A line break goes out as the text control reports it: one 0A byte.
        TextField()->setPlainText(QStringLiteral("a\nb"));
        Button(Page3(), TextMessageIds::Send)->click();
        QCOMPARE(Sent().substr(18, 14), std::string("E0 03 61 0A 62"));

        // Shift+Return starts a new line within the paragraph; it goes out as the same 0A byte.
        TextField()->clear();
        QTest::keyClicks(TextField(), QStringLiteral("a"));
        QTest::keyClick(TextField(), Qt::Key_Return, Qt::ShiftModifier);
        QTest::keyClicks(TextField(), QStringLiteral("b"));
        Button(Page3(), TextMessageIds::Send)->click();
        QCOMPARE(Sent().substr(18, 14), std::string("E0 03 61 0A 62"));

        // The field takes 84 characters at most, however much is pasted.
        TextField()->clear();
        TextField()->insertPlainText(QString(10000, QLatin1Char('x')));
        QCOMPARE(TextField()->toPlainText().size(), 84);
    }

    void EmptyTextStopsTimedSending() {
        BoxDismisser boxes;
        auto* autoCheck = Page3()->Get<QCheckBox>(TextMessageIds::AutoSend);
        autoCheck->click();
        QCOMPARE(Page3()->TickCounter(), 0);
        Tick(*m_window, 101);
        QVERIFY(boxes.WaitFor(1));
        QCOMPARE(boxes.Seen()[0].text, QStringLiteral("发送的文本不能为空!"));
        QCOMPARE(boxes.Seen()[0].caption, m_window->windowTitle());
        QCOMPARE(Page3()->TickCounter(), -1);
        QVERIFY(autoCheck->isChecked()); // the box keeps its tick
        QCOMPARE(Page3()->SequenceCounter(), 0);
        Tick(*m_window, 300);
        QCOMPARE(boxes.Seen().size(), 1);
        // Clearing and checking again restarts it.
        TextField()->setPlainText(QStringLiteral("hi"));
        autoCheck->click();
        autoCheck->click();
        Tick(*m_window, 101);
        QCOMPARE(Sent(), std::string("5A 01 FF FF FF FF E0 02 68 69 0A"));
    }

    void TimedSendingByTicks() {
        TextField()->setPlainText(QStringLiteral("x"));
        Page3()->Get<QCheckBox>(TextMessageIds::AutoSend)->click();
        m_window->ShowPage(0); // goes on while another page is shown
        Tick(*m_window, 100);
        QVERIFY(!NextSimFrame(*m_sim, 100).valid);
        Tick(*m_window, 1); // the 101st tick
        QVERIFY(NextSimFrame(*m_sim).valid);
        Tick(*m_window, 100);
        QVERIFY(!NextSimFrame(*m_sim, 100).valid);
        Tick(*m_window, 1); // 101 ticks after the previous one
        QVERIFY(NextSimFrame(*m_sim).valid);

        // "5S" chosen while the counter already stands at 80: the very next tick sends.
        Tick(*m_window, 80);
        Page3()->Get<QComboBox>(TextMessageIds::Interval)->setCurrentIndex(0);
        QCOMPARE(Page3()->SendInterval(), 50);
        Tick(*m_window, 1);
        QVERIFY(NextSimFrame(*m_sim).valid);
        QCOMPARE(Page3()->TickCounter(), 0);
        Tick(*m_window, 50);
        QVERIFY(!NextSimFrame(*m_sim, 100).valid);
        Tick(*m_window, 1);
        QVERIFY(NextSimFrame(*m_sim).valid);
    }

    void ALongOpenWarningDoesNotPileUp() {
        BoxDismisser boxes;
        boxes.Hold(true);
        TextField()->setPlainText(QStringLiteral("a") + k42);
        Page3()->Get<QComboBox>(TextMessageIds::Interval)->setCurrentIndex(0); // 5S
        Page3()->Get<QCheckBox>(TextMessageIds::AutoSend)->click();
        int boxesOpenAtMost = 0;
        // While the warning stays open the main timer keeps ticking (here: 200 more ticks).
        std::function<void()> whileOpen = [&] {
            if (QApplication::activeModalWidget() == nullptr) {
                QTimer::singleShot(10, this, whileOpen);
                return;
            }
            for (int i = 0; i < 200; ++i) {
                m_window->OnTimer();
                int open = 0;
                for (QWidget* top : QApplication::topLevelWidgets()) {
                    open += qobject_cast<QMessageBox*>(top) != nullptr && top->isVisible();
                }
                boxesOpenAtMost = std::max(boxesOpenAtMost, open);
            }
            boxes.Release();
        };
        QTimer::singleShot(10, this, whileOpen);
        Tick(*m_window, 51); // the first timed send opens the warning
        QVERIFY(boxes.WaitFor(1));
        QCOMPARE(boxesOpenAtMost, 1);
        QCOMPARE(boxes.Seen().size(), 1);
        QVERIFY(NextSimFrame(*m_sim).valid); // sent after the box closed, once
        QVERIFY(!NextSimFrame(*m_sim, 100).valid);
    }
};

int main(int argc, char** argv) {
    CVelkorApp app(argc, argv);
    WirelessTextTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "wireless_text_test.moc"
