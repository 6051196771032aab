// The program under the faults of a counter PC: an adapter pulled, a line that stops taking bytes, a
// storm of noise, anything typed into any field, and a second program on the same port.

#include "controls/ip_address_ctrl.h"
#include "pages/dialog_page1.h"
#include "pages/dialog_page2.h"
#include "pages/dialog_page3.h"
#include "pages/dialog_page6.h"
#include "shell/status_bar.h"
#include "shell/velkor_app.h"
#include "support/child_process.h"
#include "support/process_stats.h"
#include "support/sim_process.h"
#include "ui_support.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using velkor::resources::ModuleIds;
using velkor::resources::PortSettingsIds;
using velkor::resources::TextMessageIds;
using velkor::resources::WirelessIds;

namespace {

long ResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

// Runs the event loop (the real 100 ms timer included) for `ms`.
void RunFor(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QTest::qSleep(5);
    }
}

} // namespace

class FaultTest : public SimWindowTest {
    Q_OBJECT
private:
    bool Start(std::vector<std::string> options = {}) { return StartSession(std::move(options), true); }
    // Empties the edit and puts `text` in as a paste would: the length limit and digit filter apply.
    void Paste(QLineEdit* edit, const QString& text) {
        edit->clear();
        edit->insert(text);
    }
    std::string SentField(int from, int count) {
        SimFrame frame = NextSimFrame(*m_sim);
        if (!frame.valid) {
            return "invalid: " + frame.line;
        }
        return frame.bytes.substr(static_cast<std::size_t>(from) * 3,
                                  static_cast<std::size_t>(count) * 3 - 1);
    }

private slots:
    void cleanup() { EndSession(); }

    void UnplugWhileOpen() {
        QVERIFY(Start({"--hangup-after", "1"}));
        std::string link = m_sim->Link();
        QVERIFY(WaitUntil([&] { return m_window->m_statusBar->Text(0) == QStringLiteral("Open"); }));
        Button(m_window->m_page2, WirelessIds::WriteTransmitterChannel)
            ->click(); // the simulator hangs up after this frame
        QVERIFY(WaitUntil([&] { return !m_window->Link().IsOpen(); }));
        m_window->OnTimer(); // one tick
        QCOMPARE(m_window->m_statusBar->Text(0), QStringLiteral("Close"));
        QCOMPARE(Button(m_window->m_page1, PortSettingsIds::OpenClose)->text(), QStringLiteral("打开"));
        QVERIFY(m_window->m_page1->Control(PortSettingsIds::Port)->isEnabled());
        // Nothing spins once the device is gone.
        double before = CpuSeconds();
        RunFor(5000);
        double used = CpuSeconds() - before;
        QVERIFY2(used < 0.25, qPrintable(QStringLiteral("%1 s of CPU in 5 s").arg(used)));
        // The adapter is back: reopen from the page.
        m_sim.reset();
        m_sim = std::make_unique<SimProcess>(std::vector<std::string>{"--link", link});
        QVERIFY(m_sim->Ready());
        QVERIFY(OpenThroughPage(*m_window, QString::fromStdString(link)));
        Button(m_window->m_page2, WirelessIds::WriteTransmitterChannel)->click();
        QVERIFY(NextSimFrame(*m_sim).valid);
    }

    void StalledLine() {
        BoxDismisser boxes;
        QVERIFY(Start({"--stall-after", "1"}));
        Button(m_window->m_page2, WirelessIds::WriteTransmitterChannel)->click();
        QVERIFY(!m_sim->WaitForLine("\"event\":\"stall\"", std::chrono::seconds(3)).empty());
        auto* text = m_window->m_page3->Get<QTextEdit>(TextMessageIds::Text);
        text->setPlainText(QString(42, QChar(0x4E2D))); // 84 bytes a frame
        qint64 longest = 0;
        int gaveUpAt = -1;
        for (int press = 0; press < 400 && gaveUpAt < 0; ++press) {
            QElapsedTimer timer;
            timer.start();
            Button(m_window->m_page3, TextMessageIds::Send)->click();
            longest = std::max(longest, timer.elapsed());
            if (timer.elapsed() > 900) {
                gaveUpAt = press;
            }
        }
        QVERIFY2(gaveUpAt >= 0, "the line never filled");
        QVERIFY2(longest < 4000, qPrintable(QStringLiteral("a send took %1 ms").arg(longest)));
        // The lost frame is shown, with its reason, and nothing modal opens.
        QCOMPARE(m_window->m_statusBar->Text(1), QStringLiteral("Failed!"));
        const QString reason = m_window->m_statusBar->Detail(1);
        QVERIFY2(reason.startsWith(QStringLiteral("发送失败：设备 3 秒内没有再收下数据（")),
                 qPrintable(reason));
        for (QLabel* label : m_window->m_statusBar->findChildren<QLabel*>()) {
            if (label->accessibleName() == QStringLiteral("收发状态")) {
                QCOMPARE(label->accessibleDescription(), reason);
                QCOMPARE(label->toolTip(), reason);
            }
        }
        QVERIFY(!boxes.WaitFor(1, 200));
        // Later sends on the still stalled line come back at once, and the timer keeps ticking.
        QElapsedTimer timer;
        timer.start();
        for (int press = 0; press < 10; ++press) {
            Button(m_window->m_page3, TextMessageIds::Send)->click();
        }
        QVERIFY(timer.elapsed() < 500);
        int ticks = 0;
        m_window->SetTickObserver([&](const char* duty) { ticks += std::string(duty) == "clock"; });
        RunFor(1000);
        QVERIFY2(ticks >= 8, qPrintable(QString::number(ticks)));
        QVERIFY(m_window->Link().IsOpen()); // stalled, not lost
    }

    void StormOfNoise() {
        BoxDismisser boxes;
        QVERIFY(Start({"--storm", "10"}));
        m_window->ShowPage(4);
        int ticks = 0;
        m_window->SetTickObserver([&](const char* duty) { ticks += std::string(duty) == "clock"; });
        RunFor(300);
        Button(m_window->m_page6, ModuleIds::ReadConfig)
            ->click(); // the simulator storms for 10 s, then answers
        // While the noise runs, memory stays where it is: the receive buffer never grows.
        RunFor(2000);
        long residentEarly = ResidentKb();
        RunFor(6500);
        long residentLate = ResidentKb();
        QVERIFY2(
            residentLate - residentEarly < 1024,
            qPrintable(QStringLiteral("%1 -> %2 kB during the storm").arg(residentEarly).arg(residentLate)));
        QCOMPARE(boxes.Seen().size(), 0);
        // A valid answer after the storm is handled.
        QVERIFY(boxes.WaitFor(1, 6000));
        QCOMPARE(boxes.Seen()[0].text, QStringLiteral("读取成功."));
        QCOMPARE(Edit(m_window->m_page6, ModuleIds::Frequency)->text(), QStringLiteral("434.00"));
        QVERIFY2(ticks >= 90, qPrintable(QStringLiteral("%1 ticks").arg(ticks))); // ~10 s of 100 ms ticks
    }

    void AnythingTypedIntoAnyField() {
        BoxDismisser boxes;
        QVERIFY(Start());
        CDialog_Page2* wireless = m_window->m_page2;
        const struct {
            const char* text;
            const char* watchWord; // FrequencyWord of what the 6-character field keeps
        } frequencies[] = {
            {"", "00 00 00"},   {"   ", "00 00 00"}, {"abc", "00 00 00"},  {"99999999999", "90 63 D7"},
            {"-5", "FE C0 00"}, {"4e2", "64 00 10"}, {"中文", "00 00 00"}, {"1e999", "00 00 00"},
        };
        for (const auto& f : frequencies) {
            Paste(Edit(wireless, WirelessIds::WatchFrequency), QString::fromUtf8(f.text));
            Button(wireless, WirelessIds::WriteWatchChannel)->click();
            QCOMPARE(SentField(8, 3), std::string(f.watchWord));
            Paste(Edit(wireless, WirelessIds::TransmitterFrequency), QString::fromUtf8(f.text));
            Button(wireless, WirelessIds::WriteTransmitterChannel)->click();
            QCOMPARE(SentField(10, 3), std::string(f.watchWord));
        }
        Paste(Edit(wireless, WirelessIds::WatchFrequency),
              QString(10000, QLatin1Char('1'))); // 10 000 characters pasted
        QCOMPARE(Edit(wireless, WirelessIds::WatchFrequency)->text(), QStringLiteral("111111"));
        Button(wireless, WirelessIds::WriteWatchChannel)->click();
        QCOMPARE(SentField(8, 3), std::string("81 D2 34"));
        // Network IDs take digits only, three at most, and keep the low byte.
        const struct {
            const char* text;
            const char* id;
        } ids[] = {{"", "00"},    {"abc", "00"}, {"-5", "00"}, {"99999999999", "E7"},
                   {"300", "2C"}, {"中", "00"}};
        for (const auto& id : ids) {
            Paste(Edit(wireless, WirelessIds::WatchNetworkId), QString::fromUtf8(id.text));
            Button(wireless, WirelessIds::WriteWatchChannel)->click();
            QCOMPARE(SentField(11, 1), std::string(id.id));
        }
        // An address field takes 0 to 255; letters never get in.
        auto* address = wireless->Get<CIPAddressCtrl>(WirelessIds::WatchAddress);
        for (int i = 0; i < 4; ++i) {
            address->Field(i)->clear();
        }
        QTest::keyClicks(address->Field(0), QStringLiteral("999"));
        QTest::keyClicks(address->Field(1), QStringLiteral("ab-7"));
        QCOMPARE(address->GetAddress(), 0xFF070000U);
        Button(wireless, WirelessIds::WriteHostAddress)->click();
        QCOMPARE(SentField(2, 4), std::string("FF 07 00 00"));

        // The module page: the same lenient readings, in its own order of computation.
        CDialog_Page6* module = m_window->m_page6;
        m_window->ShowPage(4);
        for (const auto& f : frequencies) {
            Paste(Edit(module, ModuleIds::Frequency), QString::fromUtf8(f.text));
            Button(module, ModuleIds::WriteConfig)->click();
            QCOMPARE(SentField(4, 3), std::string(f.watchWord)); // both orders agree on these
        }
        const struct {
            const char* text;
            const char* network;
        } networks[] = {{"-5", "FB"}, {"4e2", "04"}, {"中文", "00"}, {"  7", "07"}, {"99999", "E7"}};
        for (const auto& n : networks) {
            Paste(Edit(module, ModuleIds::NetworkAddress), QString::fromUtf8(n.text));
            Button(module, ModuleIds::WriteConfig)->click();
            QCOMPARE(SentField(9, 1), std::string(n.network));
        }
        Paste(Edit(module, ModuleIds::WatchAddress), QStringLiteral("99999999999"));
        Button(module, ModuleIds::WriteWatchAddress)->click();
        QCOMPARE(SentField(4, 4), std::string("05 F5 E0 FF"));
        Paste(Edit(module, ModuleIds::WatchAddress), QStringLiteral("-1"));
        Button(module, ModuleIds::WriteWatchAddress)->click();
        QCOMPARE(SentField(4, 4), std::string("00 00 00 00"));

        // The text page: a 10 000 character paste keeps 84 characters; spaces and Chinese go out as GBK.
        auto* text = m_window->m_page3->Get<QTextEdit>(TextMessageIds::Text);
        text->clear();
        text->insertPlainText(QString(10000, QChar(0x4E2D)));
        Button(m_window->m_page3, TextMessageIds::Send)->click();
        QVERIFY(boxes.WaitFor(1));
        QCOMPARE(boxes.Seen()[0].caption, QStringLiteral("提示."));
        SimFrame long84 = NextSimFrame(*m_sim);
        QVERIFY(long84.valid);
        QCOMPARE(long84.bytes.substr(21, 2), std::string("54")); // 84 bytes, 42 characters
        text->setPlainText(QStringLiteral("   "));
        Button(m_window->m_page3, TextMessageIds::Send)->click();
        QCOMPARE(SentField(7, 4), std::string("03 20 20 20"));
        QVERIFY(m_window->isVisible());
    }

    void PortsThatDoNotOpenAreExplained() {
        SimProcess held;
        SimProcess free;
        QVERIFY(held.Ready());
        QVERIFY(free.Ready());
        // Another program holds the first port, as flock(1) does.
        ChildProcess holder({"/usr/bin/flock", held.Link(), "sleep", "30"});
        QVERIFY(WaitUntil([&] { return !velkor::DeviceLink::Probe(held.Link()); }));
        qputenv("VELKOR_PORTS", (held.Link() + ":" + free.Link() + ":/tmp/velkor-no-such-port").c_str());
        m_window = std::make_unique<CVelkorDlg>();
        m_window->show();
        auto* note = m_window->m_page1->findChild<QLabel*>(QStringLiteral("portNote"));
        QVERIFY(note != nullptr);
        QCOMPARE(note->accessibleName(), QStringLiteral("串口说明"));
        const QString heldLink = QString::fromStdString(held.Link());
        QVERIFY2(note->text().startsWith(heldLink + QStringLiteral(" 无法打开：被 flock（PID ")),
                 qPrintable(note->text()));
        // Every reason whole, one a line, however long: a narrow window wraps them and the room scrolls.
        QVERIFY2(note->text().endsWith(QStringLiteral("）占用\n/tmp/velkor-no-such-port 已不存在")),
                 qPrintable(note->text()));
        QVERIFY(note->accessibleDescription().contains(QStringLiteral("/tmp/velkor-no-such-port 已不存在")));
        QVERIFY(note->isVisible());
        m_window->m_page1->resize(160, m_window->m_page1->height());
        QVERIFY(note->width() <= 160);
        QVERIFY2(
            note->height() >= note->heightForWidth(note->width()),
            qPrintable(
                QStringLiteral("%1 px of %2").arg(note->height()).arg(note->heightForWidth(note->width()))));
        auto* ports = m_window->m_page1->Get<QComboBox>(PortSettingsIds::Port);
        QCOMPARE(ports->count(), 1); // only the free one
        QCOMPARE(ports->currentText(), QString::fromStdString(free.Link()));

        // Another program takes the listed port before "打开": the press says why, and the list stays.
        ChildProcess taker({"/usr/bin/flock", free.Link(), "sleep", "30"});
        QVERIFY(WaitUntil([&] { return !velkor::DeviceLink::Probe(free.Link()); }));
        Button(m_window->m_page1, PortSettingsIds::OpenClose)->click();
        QVERIFY(!m_window->Link().IsOpen());
        QVERIFY2(note->text().startsWith(QString::fromStdString(free.Link()) +
                                         QStringLiteral(" 无法打开：被 flock")),
                 qPrintable(note->text()));
        QVERIFY(note->accessibleDescription().contains(heldLink));
        QCOMPARE(ports->count(), 1);
        QCOMPARE(Button(m_window->m_page1, PortSettingsIds::OpenClose)->text(), QStringLiteral("打开"));
    }

    // Told to end (a service manager's SIGTERM, a log-out's SIGHUP, Ctrl-C), the window ends the normal way
    // and the port is free again at once: nothing is left set on the device. The program runs as a child
    // with a port of its own open, as a user left it.
    void TheWindowReleasesThePortWhenToldToEnd() {
        if (qEnvironmentVariableIsSet("VELKOR_QUIT_MARK")) {
            CVelkorDlg window;
            window.show();
            QVERIFY(OpenThroughPage(window, qEnvironmentVariable("VELKOR_PORTS")));
            // Marked from inside the program's event loop, where its signals are handled: Qt ends no loop
            // that has not started yet.
            QTimer::singleShot(
                0, [] { std::ofstream(qEnvironmentVariable("VELKOR_QUIT_MARK").toStdString()) << "open\n"; });
            QCOMPARE(QCoreApplication::exec(), 0);
            return; // the port is released on the way out, as the program's own main does
        }
        SimProcess sim;
        QVERIFY(sim.Ready());
        const std::string mark = "/tmp/velkor-quit-mark-" + std::to_string(getpid());
        qputenv("VELKOR_PORTS", sim.Link().c_str());
        qputenv("VELKOR_QUIT_MARK", mark.c_str());
        for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
            std::remove(mark.c_str());
            // Started the plain fork-and-exec way: ThreadSanitizer takes QProcess's start for a fork that
            // goes on running threads.
            // Without QtTest's crash handler, which would take these signals for a crash.
            ChildProcess child({QCoreApplication::applicationFilePath().toStdString(), "-nocrashhandler",
                                "TheWindowReleasesThePortWhenToldToEnd"});
            QVERIFY2(WaitUntil([&] { return std::ifstream(mark).good(); }, 30000), strsignal(signal));
            QVERIFY(!velkor::DeviceLink::Probe(sim.Link())); // the child holds it
            child.Signal(signal);
            // Not killed by it, and out within the time; else say how it ended and what it printed.
            const int status = child.Wait(std::chrono::seconds(30));
            QVERIFY2(status == 0,
                     qPrintable(QStringLiteral("signal %1: exit status %2 (-1: still running)\n%3")
                                    .arg(signal)
                                    .arg(status)
                                    .arg(QString::fromStdString(child.Out() + child.Err()))));
            QVERIFY2(velkor::DeviceLink::Probe(sim.Link()), strsignal(signal));
        }
        std::remove(mark.c_str());
        qunsetenv("VELKOR_QUIT_MARK");
        qunsetenv("VELKOR_PORTS");
    }

    void TwoProgramsOnOnePort() {
        BoxDismisser boxes;
        QVERIFY(Start());
        // A second program asks for the same port while this one holds it.
        pid_t pid = fork();
        if (pid == 0) {
            execl(VELKOR_CLI_PATH, "velkor-cli", "send", m_sim->Link().c_str(), "FA80F2006C0D", nullptr);
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 1);
        // The first keeps working.
        m_window->ShowPage(4);
        Button(m_window->m_page6, ModuleIds::Reset)->click();
        QVERIFY(NextSimFrame(*m_sim).valid);
        QVERIFY(boxes.WaitFor(1, 3000));
        QCOMPARE(boxes.Seen()[0].text, QStringLiteral("复位成功."));
    }
};

int main(int argc, char** argv) {
    CVelkorApp app(argc, argv);
    FaultTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "fault_test.moc"
