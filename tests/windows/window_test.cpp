// The window as Windows runs it (Wine, the windows platform plugin, the Win32 serial engine), against
// velkor-sim behind COM ports that pseudo-terminals back: COM40 to COM45, which tests/windows/sims.sh links.
// COM45's simulator writes every frame it sees to a file (VELKOR_TEST_RECORD); the frame the text page sends
// must be byte for byte the one the Linux build makes of the same text (VELKOR_TEST_TEXT_FRAME).

#include "controls/dialog_builder.h"
#include "pages/dialog_page1.h"
#include "pages/dialog_page3.h"
#include "pages/dialog_page6.h"
#include "shell/velkor_app.h"
#include "ui/ui_support.h"

#include <QComboBox>
#include <QFile>
#include <QFontInfo>
#include <QInputMethodEvent>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <cstdio>
#include <memory>

using velkor::resources::ModuleIds;
using velkor::resources::PortSettingsIds;
using velkor::resources::TextMessageIds;

namespace {

const QString kText = QStringLiteral("3号桌请取餐");

// The frames the recording simulator has received so far ("dir":"in"), as "5A 01 ...".
QStringList Received() {
    QFile file(qEnvironmentVariable("VELKOR_TEST_RECORD"));
    QStringList frames;
    if (!file.open(QIODevice::ReadOnly)) {
        return frames;
    }
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QJsonObject frame = QJsonDocument::fromJson(line).object();
        if (frame.value(QLatin1String("dir")).toString() == QLatin1String("in")) {
            frames << frame.value(QLatin1String("bytes")).toString();
        }
    }
    return frames;
}

} // namespace

class WindowsWindowTest : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<CVelkorDlg> m_window;

    void Click(CPage* page, int id) {
        QPushButton* button = page->Get<QPushButton>(id);
        QTest::mouseClick(button, Qt::LeftButton);
    }

private slots:
    void init() {
        m_window = std::make_unique<CVelkorDlg>();
        m_window->SetTimerRunning(false);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }
    void cleanup() { m_window.reset(); }

    void CaptionFontsAndPorts() {
        QCOMPARE(m_window->windowTitle(), QStringLiteral("无线手表参数配置及信息发送工具-Zelt适用 V2.4"));
        // The native style, under the program's own adjustments.
        auto* style = qobject_cast<QProxyStyle*>(QApplication::style());
        QVERIFY(style != nullptr);
        QCOMPARE(style->baseStyle()->name(), QStringLiteral("windowsvista"));
        // The dialog face draws the Chinese itself (SimSun or YaHei on a Chinese Windows, the host's CJK
        // faces under Wine), not by a fallback that may be missing.
        const QFont font = DialogFont(9);
        QVERIFY2(QFontMetrics(font).inFont(QChar(0x65E0)), qPrintable(QFontInfo(font).family()));
        // COM1 to COM255 that open, in order: only the six the tests linked (no AUX, which is COM1's alias,
        // and no port of the host's).
        Click(m_window->m_page1, PortSettingsIds::Refresh);
        auto* ports = m_window->m_page1->Get<QComboBox>(PortSettingsIds::Port);
        QStringList listed;
        for (int i = 0; i < ports->count(); ++i) {
            listed << ports->itemText(i);
        }
        QCOMPARE(listed,
                 (QStringList{QStringLiteral("COM40"), QStringLiteral("COM41"), QStringLiteral("COM42"),
                              QStringLiteral("COM43"), QStringLiteral("COM44"), QStringLiteral("COM45")}));
    }

    void TextPageSendsTheLinuxBuildsFrame() {
        const QString expected = qEnvironmentVariable("VELKOR_TEST_TEXT_FRAME");
        QVERIFY2(expected.startsWith(QLatin1String("5A ")),
                 "VELKOR_TEST_TEXT_FRAME: the Linux build's frame");
        QVERIFY(OpenThroughPage(*m_window, QStringLiteral("COM45")));
        const qsizetype before = Received().size();
        m_window->ShowPage(2);
        CDialog_Page3* page = m_window->m_page3;
        auto* text = page->Get<QTextEdit>(TextMessageIds::Text);
        text->setFocus();
        // The digit typed, the Chinese committed by the input method, as a Chinese Windows types it.
        QTest::keyClicks(text, kText.left(1));
        QInputMethodEvent commit;
        commit.setCommitString(kText.mid(1));
        QApplication::sendEvent(text, &commit);
        QCOMPARE(text->toPlainText(), kText);
        Click(page, TextMessageIds::Send);
        QVERIFY(WaitUntil([&] { return Received().size() > before; }, 5000));
        QCOMPARE(Received().at(before), expected);
    }

    void ModuleConfigurationReadBack() {
        QVERIFY(OpenThroughPage(*m_window, QStringLiteral("COM45")));
        m_window->ShowPage(4);
        CDialog_Page6* page = m_window->m_page6;
        // Away from what the simulator holds, so that only the answer can bring it back.
        page->Get<QLineEdit>(ModuleIds::Frequency)->setText(QStringLiteral("1"));
        page->Get<QLineEdit>(ModuleIds::NetworkAddress)->setText(QStringLiteral("9"));
        for (int id : {ModuleIds::SleepPeriod, ModuleIds::BreathingTime, ModuleIds::TransmitPower}) {
            page->Get<QComboBox>(id)->setCurrentIndex(0);
        }
        BoxDismisser boxes;
        const qsizetype before = Received().size();
        Click(page, ModuleIds::ReadConfig);
        QVERIFY(WaitUntil([&] { return Received().size() > before; }, 5000));
        QCOMPARE(Received().at(before), QStringLiteral("FA 80 F4 00 6E 0D"));
        QVERIFY(WaitUntil(
            [&] {
                Tick(*m_window);
                return page->Get<QLineEdit>(ModuleIds::Frequency)->text() == QLatin1String("434.00");
            },
            5000));
        // The box says so, with Qt's own button text in Chinese.
        QVERIFY(boxes.WaitFor(1));
        QCOMPARE(boxes.Seen()[0].text, QStringLiteral("读取成功."));
        QCOMPARE(boxes.Seen()[0].buttons, QStringList{QStringLiteral("确定")});
        QCOMPARE(page->Get<QLineEdit>(ModuleIds::NetworkAddress)->text(), QStringLiteral("00")); // two digits
        QCOMPARE(page->Get<QComboBox>(ModuleIds::SleepPeriod)->currentText(), QStringLiteral("2s"));
        QCOMPARE(page->Get<QComboBox>(ModuleIds::BreathingTime)->currentText(), QStringLiteral("32ms"));
        QCOMPARE(page->Get<QComboBox>(ModuleIds::TransmitPower)->currentText(), QStringLiteral("Level7"));
    }
};

int main(int argc, char** argv) {
    CVelkorApp app(argc, argv);
    WindowsWindowTest test;
    const int failed = QTest::qExec(&test, argc, argv);
    // QtTest's own lines go to its -o file (its standard output is lost under Wine); this one says the
    // program ran, so that the Wine runner does not take a failure for a start that failed.
    std::printf("window tests: %d failed\n", failed);
    return failed;
}

#include "window_test.moc"
