// The module configuration page against velkor-sim on a real port: what each button sends, and what
// each answer does to the page.

#include "pages/dialog_page6.h"
#include "shell/status_bar.h"
#include "shell/velkor_app.h"
#include "support/sim_process.h"
#include "ui_support.h"

#include <QComboBox>
#include <QDateTime>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using velkor::resources::ModuleIds;

class ModulePageTest : public SimWindowTest {
    Q_OBJECT
private:
    CDialog_Page6* Page() { return m_window->m_page6; }
    QPushButton* Button(int id) { return Page()->Get<QPushButton>(id); }
    QLineEdit* Edit(int id) { return Page()->Get<QLineEdit>(id); }
    QComboBox* List(int id) { return Page()->Get<QComboBox>(id); }
    QString Status() { return m_window->m_statusBar->Text(1); }

    bool Start(std::vector<std::string> options = {}) {
        if (!StartSession(std::move(options), false)) {
            return false;
        }
        m_window->ShowPage(4);
        return true;
    }
    // Presses `id`, checks what went out, and ticks until the answer (if any) has been handed over.
    std::string Press(int id, int answerBytes) {
        int before = m_window->Link().Buffer().Count();
        Button(id)->click();
        SimFrame sent = NextSimFrame(*m_sim);
        if (!sent.valid) {
            return "invalid: " + sent.line;
        }
        if (answerBytes > 0) {
            WaitUntil([&] { return m_window->Link().Buffer().Count() >= before + answerBytes; });
        }
        Tick(*m_window, 5);
        return sent.bytes;
    }

private slots:
    void cleanup() { EndSession(); }

    void StartUpStateAndEveryButtonsBytes() {
        BoxDismisser boxes;
        QVERIFY(Start());
        QCOMPARE(Edit(ModuleIds::Frequency)->text(), QStringLiteral("434.00"));
        QCOMPARE(Edit(ModuleIds::NetworkAddress)->text(), QStringLiteral("0"));
        QCOMPARE(List(ModuleIds::SleepPeriod)->currentText(), QStringLiteral("2s"));
        QCOMPARE(List(ModuleIds::BreathingTime)->currentText(), QStringLiteral("32ms"));
        QCOMPARE(List(ModuleIds::TransmitPower)->currentText(), QStringLiteral("Level7"));
        QCOMPARE(Edit(ModuleIds::WatchAddress)->text(), QString());
        QCOMPARE(Edit(ModuleIds::WatchAddress)->maxLength(), 8);

        m_window->m_statusBar->SetText(1, QStringLiteral("x"));
        Button(ModuleIds::WriteConfig)->click();
        QCOMPARE(Status(), QStringLiteral("...."));
        QCOMPARE(NextSimFrame(*m_sim).bytes, std::string("FA 80 F3 07 6C 80 12 00 04 00 06 7C 0D"));
        QCOMPARE(Press(ModuleIds::ReadConfig, 0), std::string("FA 80 F4 00 6E 0D"));
        QCOMPARE(Press(ModuleIds::GetTime, 0), std::string("FA 80 FD 00 77 0D"));
        QCOMPARE(Press(ModuleIds::Reset, 0), std::string("FA 80 F2 00 6C 0D"));
        Edit(ModuleIds::WatchAddress)->setText(QStringLiteral("12345678"));
        QCOMPARE(Press(ModuleIds::WriteWatchAddress, 0), std::string("FA 80 FB 04 00 BC 61 4E E4 0D"));
        Edit(ModuleIds::WatchAddress)->setText(QStringLiteral("55"));
        Button(ModuleIds::ReadWatchAddress)->click();
        QCOMPARE(Edit(ModuleIds::WatchAddress)->text(), QString()); // emptied before the request goes out
        QCOMPARE(NextSimFrame(*m_sim).bytes, std::string("FA 80 EE 00 68 0D"));
        std::string clock = Press(ModuleIds::SetTime, 0);
        QCOMPARE(clock.substr(0, 12), std::string("FA 80 FC 07 "));
        QDateTime now = QDateTime::currentDateTime();
        QCOMPARE(clock.substr(12, 2), QStringLiteral("%1")
                                          .arg(now.date().year() - 2000, 2, 16, QLatin1Char('0'))
                                          .toUpper()
                                          .toStdString());
    }

    void WriteAndReadTheSettingsBack() {
        BoxDismisser boxes;
        QVERIFY(Start());
        Edit(ModuleIds::Frequency)->setText(QStringLiteral("470.00"));
        Edit(ModuleIds::NetworkAddress)->setText(QStringLiteral("300")); // 44 on the line
        List(ModuleIds::SleepPeriod)->setCurrentIndex(2);
        List(ModuleIds::BreathingTime)->setCurrentIndex(1);
        List(ModuleIds::TransmitPower)->setCurrentIndex(3);
        QCOMPARE(Press(ModuleIds::WriteConfig, 6), std::string("FA 80 F3 07 75 80 13 02 01 2C 03 AE 0D"));
        QVERIFY(boxes.WaitFor(1));
        QCOMPARE(boxes.Seen()[0].text, QStringLiteral("写入成功."));
        QCOMPARE(boxes.Seen()[0].caption, QStringLiteral("LORA配置"));
        QCOMPARE(boxes.Seen()[0].buttons, QStringList{QStringLiteral("确定")});
        QCOMPARE(Status(), QStringLiteral("Success!"));

        // Fresh controls, then read back.
        Edit(ModuleIds::Frequency)->setText(QStringLiteral("1"));
        Edit(ModuleIds::NetworkAddress)->setText(QStringLiteral("1"));
        List(ModuleIds::SleepPeriod)->setCurrentIndex(0);
        List(ModuleIds::BreathingTime)->setCurrentIndex(0);
        List(ModuleIds::TransmitPower)->setCurrentIndex(0);
        QStringList statusWhenBoxShown;
        QTimer probe;
        // The box is held open until the probe has read the status beside it: on a loaded machine the
        // dismisser's own timer could otherwise close it first.
        boxes.Hold(true);
        connect(&probe, &QTimer::timeout, this, [&] {
            if (QApplication::activeModalWidget() != nullptr) {
                statusWhenBoxShown << Status();
                boxes.Release();
            }
        });
        probe.start(5);
        QCOMPARE(Press(ModuleIds::ReadConfig, 13), std::string("FA 80 F4 00 6E 0D"));
        QVERIFY(boxes.WaitFor(2));
        QCOMPARE(boxes.Seen()[1].text, QStringLiteral("读取成功."));
        QCOMPARE(Edit(ModuleIds::Frequency)->text(), QStringLiteral("470.00"));
        QCOMPARE(Edit(ModuleIds::NetworkAddress)->text(), QStringLiteral("44"));
        QCOMPARE(List(ModuleIds::SleepPeriod)->currentIndex(), 2);
        QCOMPARE(List(ModuleIds::BreathingTime)->currentIndex(), 1);
        QCOMPARE(List(ModuleIds::TransmitPower)->currentIndex(), 3);
        // While the box is open the status still says "....": "Successful!" comes after the box, "Success!"
        // after the page.
        statusWhenBoxShown.removeDuplicates();
        QCOMPARE(statusWhenBoxShown, QStringList{QStringLiteral("....")});
        QCOMPARE(Status(), QStringLiteral("Success!"));
    }

    void APositionOutsideAListLeavesItEmpty() {
        BoxDismisser boxes;
        QVERIFY(Start());
        // Another tool stored sleep position 7 (the list has 5): the read-back leaves that list empty,
        // and a later "写配置" sends FF for it.
        const uint8_t write[] = {0xFA, 0x80, 0xF3, 0x07, 0x6C, 0x80, 0x12,
                                 0x07, 0x04, 0x05, 0x06, 0x88, 0x0D};
        QVERIFY(m_window->Link().Send(write));
        QVERIFY(NextSimFrame(*m_sim).valid);
        QVERIFY(WaitUntil([&] { return m_window->Link().Buffer().Count() >= 6; }));
        Tick(*m_window, 5);
        Press(ModuleIds::ReadConfig, 13);
        QCOMPARE(List(ModuleIds::SleepPeriod)->currentIndex(), -1);
        QCOMPARE(Edit(ModuleIds::NetworkAddress)->text(), QStringLiteral("05"));
        QCOMPARE(Press(ModuleIds::WriteConfig, 6), std::string("FA 80 F3 07 6C 80 12 FF 04 05 06 80 0D"));
    }

    void ClockSetAndReadBack() {
        BoxDismisser boxes;
        QVERIFY(Start());
        Press(ModuleIds::SetTime, 6);
        QVERIFY(boxes.WaitFor(1));
        QCOMPARE(boxes.Seen()[0].text, QStringLiteral("校时成功."));
        QCOMPARE(boxes.Seen()[0].caption, QStringLiteral("校准时间"));
        Press(ModuleIds::GetTime, 13);
        QVERIFY(boxes.WaitFor(2));
        QCOMPARE(boxes.Seen()[1].caption, QStringLiteral("获取时间"));
        QDateTime shown =
            QDateTime::fromString(boxes.Seen()[1].text.left(19), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        QVERIFY(shown.isValid());
        QVERIFY(std::abs(shown.secsTo(QDateTime::currentDateTime())) <= 3);
        int sunday0 = QDate::currentDate().dayOfWeek() % 7;
        QCOMPARE(boxes.Seen()[1].text.mid(19), QStringLiteral(" 星期%1").arg(sunday0));
    }

    void WatchAddressWrittenAndReadBack() {
        BoxDismisser boxes;
        QVERIFY(Start());
        Edit(ModuleIds::WatchAddress)->setText(QStringLiteral("99999999"));
        QCOMPARE(Press(ModuleIds::WriteWatchAddress, 6), std::string("FA 80 FB 04 05 F5 E0 FF 52 0D"));
        QVERIFY(boxes.WaitFor(1));
        QCOMPARE(boxes.Seen()[0].text, QStringLiteral("设置手表地址成功."));
        QCOMPARE(boxes.Seen()[0].caption, QStringLiteral("设置地址."));
        Press(ModuleIds::ReadWatchAddress, 10);
        QCOMPARE(Edit(ModuleIds::WatchAddress)->text(), QStringLiteral("99999999"));
        QCOMPARE(boxes.Seen().size(), 1); // no box for the watch address
        QCOMPARE(Status(), QStringLiteral("Success!"));
        // A stored address with the top bit set (written here as another tool would) reads back negative.
        const uint8_t topBit[] = {0xFA, 0x80, 0xFB, 0x04, 0x80, 0x00, 0x00, 0x00, 0xF9, 0x0D};
        QVERIFY(m_window->Link().Send(topBit));
        QVERIFY(NextSimFrame(*m_sim).valid);
        QVERIFY(WaitUntil([&] { return m_window->Link().Buffer().Count() >= 6; }));
        Tick(*m_window, 5);
        QCOMPARE(boxes.Seen().size(), 2);
        Press(ModuleIds::ReadWatchAddress, 10);
        QCOMPARE(Edit(ModuleIds::WatchAddress)->text(), QStringLiteral("-2147483648"));
    }

    void ResetAndABadChecksumIsAccepted() {
        BoxDismisser boxes;
        QVERIFY(Start({"--bad-checksum"}));
        Press(ModuleIds::Reset, 6);
        QVERIFY(boxes.WaitFor(1));
        QCOMPARE(boxes.Seen()[0].text, QStringLiteral("复位成功."));
        QCOMPARE(boxes.Seen()[0].caption, QStringLiteral("REBOOT"));
    }

    void GarbageBeforeTheAnswer() {
        BoxDismisser boxes;
        QVERIFY(Start({"--garbage"}));
        Button(ModuleIds::Reset)->click();
        QVERIFY(NextSimFrame(*m_sim).valid);
        // Noise, 500 ms of quiet, then the answer: the noise is a frame of its own and is ignored.
        for (int i = 0; i < 30 && boxes.Seen().isEmpty(); ++i) {
            QTest::qWait(50);
            Tick(*m_window);
        }
        QCOMPARE(boxes.Seen().size(), 1);
        QCOMPARE(boxes.Seen()[0].text, QStringLiteral("复位成功."));
    }

    void SplitAnswers() {
        {
            BoxDismisser boxes;
            QVERIFY(Start({"--split-answer", "150"})); // within the 300 ms of silence: one frame
            Button(ModuleIds::ReadConfig)->click();
            for (int i = 0; i < 20 && boxes.Seen().isEmpty(); ++i) {
                QTest::qWait(100);
                Tick(*m_window);
            }
            QCOMPARE(boxes.Seen().size(), 1);
            QCOMPARE(boxes.Seen()[0].text, QStringLiteral("读取成功."));
            Tick(*m_window, 10);
            QCOMPARE(boxes.Seen().size(), 1); // handled once
        }
        cleanup();
        {
            BoxDismisser boxes;
            QVERIFY(Start({"--split-answer", "700"})); // more than 400 ms: two frames, neither recognised
            Button(ModuleIds::ReadConfig)->click();
            for (int i = 0; i < 20; ++i) {
                QTest::qWait(100);
                Tick(*m_window);
            }
            QCOMPARE(boxes.Seen().size(), 0);
            QCOMPARE(Edit(ModuleIds::Frequency)->text(), QStringLiteral("434.00"));
        }
    }

    void NoAnswerNothingHappens() {
        BoxDismisser boxes;
        QVERIFY(Start({"--no-answer"}));
        Button(ModuleIds::ReadConfig)->click();
        for (int i = 0; i < 10; ++i) {
            QTest::qWait(50);
            Tick(*m_window);
        }
        QCOMPARE(boxes.Seen().size(), 0);
        QCOMPARE(Status(), QStringLiteral("...."));
    }

    void AnswerWhileAnotherPageIsShownIsDropped() {
        BoxDismisser boxes;
        QVERIFY(Start());
        Button(ModuleIds::Reset)->click();
        m_window->ShowPage(0);
        WaitUntil([&] { return m_window->Link().Buffer().Count() >= 6; });
        Tick(*m_window, 5);
        QCOMPARE(Status(), QStringLiteral("Success!"));
        m_window->ShowPage(4);
        Tick(*m_window, 5);
        QCOMPARE(boxes.Seen().size(), 0);
    }

    void TheTickRunsOnWhileAnAnswersBoxIsOpen() {
        BoxDismisser boxes;
        boxes.Hold(true);
        QVERIFY(Start({"--hangup-after", "3"})); // the line dies right after the third answer
        m_window->SetTimerRunning(true);
        QStringList clockWhileOpen;
        QStringList portWhileOpen;
        bool asked = false;
        QTimer watch; // runs inside the first box's own event loop
        connect(&watch, &QTimer::timeout, this, [&] {
            if (QApplication::activeModalWidget() == nullptr || boxes.Seen().size() > 0) {
                return;
            }
            clockWhileOpen << m_window->m_statusBar->Text(2);
            portWhileOpen << m_window->m_statusBar->Text(0);
            if (!asked) {
                // Two more answers while the box stays open for 3 s, 0.8 s apart: each must end as a
                // frame of its own, in its turn.
                asked = true;
                Page()->OnReset();
                QTimer::singleShot(800, this, [&] { Page()->OnGetTime(); });
                QTimer::singleShot(3000, this, [&] { boxes.Release(); });
            }
        });
        watch.start(50);
        Button(ModuleIds::ReadConfig)->click();
        QVERIFY(boxes.WaitFor(3, 8000));
        watch.stop();
        QCOMPARE(boxes.Seen()[0].text, QStringLiteral("读取成功."));
        QCOMPARE(boxes.Seen()[1].text, QStringLiteral("复位成功."));
        QVERIFY2(boxes.Seen()[2].text.contains(QStringLiteral(" 星期")), qPrintable(boxes.Seen()[2].text));
        clockWhileOpen.removeDuplicates();
        QVERIFY2(clockWhileOpen.size() >= 2, "the clock did not move while the box was open");
        QVERIFY(portWhileOpen.contains(QStringLiteral("Close"))); // the hang-up shown without waiting
        QTest::qWait(600);
        QCOMPARE(boxes.Seen().size(), 3); // each answer once
        QCOMPARE(Status(), QStringLiteral("Success!"));
        m_window->SetTimerRunning(false);
    }
};

int main(int argc, char** argv) {
    CVelkorApp app(argc, argv);
    ModulePageTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "module_page_test.moc"
