// The watch list page against velkor-sim on a real port: the frames of a whole site are those of the
// wireless page's buttons, a list with a fault sends nothing, and a run can be stopped or fail midway.

#include "controls/color_static.h"
#include "controls/ip_address_ctrl.h"
#include "frames/strict_text.h"
#include "frames/watch_list.h"
#include "pages/dialog_page2.h"
#include "pages/watch_list_page.h"
#include "shell/status_bar.h"
#include "support/sim_process.h"
#include "support/site_list.h"
#include "ui_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>

using velkor::resources::WirelessIds;

class WatchListTest : public SimWindowTest {
    Q_OBJECT
private:
    QTemporaryDir m_folder;

    CWatchListPage* Page() { return m_window->m_watchList; }
    QPushButton* ButtonNamed(const QString& text) {
        for (QPushButton* button : Page()->findChildren<QPushButton*>()) {
            if (button->text() == text) {
                return button;
            }
        }
        return nullptr;
    }
    QString Write(const std::string& name, const std::string& text) {
        const QString path = m_folder.filePath(QString::fromStdString(name));
        std::ofstream(path.toStdString(), std::ios::binary) << text;
        return path;
    }
    // Every frame the simulator reports until a quiet `ms`.
    std::vector<std::string> Frames(int ms = 500) {
        std::vector<std::string> frames;
        for (SimFrame frame = NextSimFrame(*m_sim, ms); !frame.bytes.empty();
             frame = NextSimFrame(*m_sim, ms)) {
            if (!frame.valid) {
                qWarning("invalid frame: %s", frame.line.c_str());
            }
            frames.push_back(frame.bytes);
        }
        return frames;
    }
    void WriteAll(int gapMs) {
        ShowList();
        Page()->findChild<QSpinBox*>()->setValue(gapMs);
        ButtonNamed(QStringLiteral("全部写入"))->click();
    }
    void ShowList() { m_window->ShowPage(3); }

private slots:
    void init() { QVERIFY(StartSession({}, true)); }
    void cleanup() { EndSession(); }

    void ASitesFramesAreThoseOfTheWirelessPagesButtons() {
        QVERIFY(Page()->LoadFile(Write("site.csv", SiteList(50))));
        WriteAll(0);
        QCOMPARE(m_window->m_caption->Text(), QStringLiteral(" 手表名单"));
        QVERIFY(WaitUntil([&] { return !Page()->Writing(); }, 20000));
        const std::vector<std::string> fromList = Frames();
        for (int row = 0; row < 50; ++row) {
            QCOMPARE(Page()->Result(row), QStringLiteral("已发送"));
        }
        QCOMPARE(m_window->m_statusBar->Text(1), QStringLiteral("全部写入完成"));

        // A fresh window, its counter at 0 again: the same values typed into the wireless page, its buttons
        // pressed in the same order.
        EndSession();
        QVERIFY(StartSession({}, true));
        CDialog_Page2* wireless = m_window->m_page2;
        const velkor::WatchList list =
            std::get<velkor::WatchList>(velkor::LoadWatchList(m_folder.filePath("site.csv").toStdString()));
        for (const velkor::WatchEntry& entry : list.entries) {
            auto address = [](const std::string& text) {
                const velkor::WatchAddress parts = *velkor::ParseAddress(text);
                return static_cast<uint32_t>(parts[0]) << 24 | static_cast<uint32_t>(parts[1]) << 16 |
                       static_cast<uint32_t>(parts[2]) << 8 | parts[3];
            };
            wireless->Get<CIPAddressCtrl>(WirelessIds::WatchAddress)->SetAddress(address(entry.address));
            if (!entry.freq.empty()) {
                Edit(wireless, WirelessIds::WatchFrequency)->setText(QString::fromStdString(entry.freq));
                Edit(wireless, WirelessIds::WatchNetworkId)->setText(QString::fromStdString(entry.net));
                Button(wireless, WirelessIds::WriteWatchChannel)->click();
            }
            for (int slot = 0; slot < velkor::HOST_SLOTS; ++slot) {
                const std::string& host = entry.hosts[static_cast<std::size_t>(slot)];
                if (!host.empty()) {
                    wireless->Get<CIPAddressCtrl>(WirelessIds::HostAddress)->SetAddress(address(host));
                    wireless->Get<QComboBox>(WirelessIds::AddressSlot)->setCurrentIndex(slot);
                    Button(wireless, WirelessIds::WriteHostAddress)->click();
                }
            }
        }
        const std::vector<std::string> fromButtons = Frames();
        QVERIFY(fromList.size() > 80);
        QCOMPARE(fromList.size(), fromButtons.size());
        for (std::size_t i = 0; i < fromList.size(); ++i) {
            QCOMPARE(fromList[i], fromButtons[i]);
        }
    }

    void AListWithAFaultSendsNothingAndSaysWhereBesideTheRow() {
        QVERIFY(Page()->LoadFile(Write(
            "bad.csv", "name,address,freq,net,host1\nbed 1,0.0.0.1,434,1,1.2.3.4\nbed 1,0.0.0.400,434,,\n")));
        QVERIFY(Page()->Result(0).isEmpty());
        QVERIFY(Page()->Result(1).contains(QStringLiteral("手表地址：“0.0.0.400”不是地址")));
        QVERIFY(Page()->Result(1).contains(QStringLiteral("网络ID：频率与网络ID须同时填写")));
        QVERIFY2(Page()->Result(1).contains(QStringLiteral("名称：名称“bed 1”重复，与文件第 2 行相同")),
                 qPrintable(Page()->Result(1)));
        WriteAll(0);
        QVERIFY(!Page()->Writing());
        QVERIFY(Frames(300).empty());

        // Mended in the table, cell by cell, with the same checks: then it goes.
        auto* table = Page()->findChild<QTableWidget*>();
        table->item(1, 0)->setText(QStringLiteral("bed 2"));
        table->item(1, 2)->setText(QStringLiteral("0.0.0.2"));
        QVERIFY(table->item(1, 2)->toolTip().isEmpty());
        table->item(1, 5)->setText(QStringLiteral("1.2.3.999"));
        QCOMPARE(table->item(1, 5)->toolTip(),
                 QStringLiteral("“1.2.3.999”不是地址 A.B.C.D（每段 0 至 255）"));
        table->item(1, 5)->setText(QStringLiteral("1.2.3.9"));
        QVERIFY(table->item(1, 5)->toolTip().isEmpty());
        QVERIFY(!Page()->OnCheck()); // the net still missing
        table->item(1, 4)->setText(QStringLiteral("9"));
        QVERIFY(Page()->OnCheck());
        WriteAll(0);
        QVERIFY(WaitUntil([&] { return !Page()->Writing(); }, 5000));
        QCOMPARE(Frames().size(), 4U);

        // Saved and imported again: the same list, the file's other columns kept.
        const QString saved = m_folder.filePath("saved.csv");
        QVERIFY(Page()->SaveFile(saved));
        QVERIFY(Page()->LoadFile(saved));
        QCOMPARE(Page()->List().entries.size(), 2U);
        QCOMPARE(Page()->List().entries[1].name, std::string("bed 2"));
        QCOMPARE(Page()->List().entries[1].net, std::string("9"));
    }

    // A panel's call number given twice, or not digits, is told beside its row and nothing is sent.
    void ACallNumberGivenTwiceIsToldBesideItsRow() {
        QVERIFY(Page()->LoadFile(Write(
            "calls.csv", "name,address,call\nbed 1,0.0.0.1,550\nbed 2,0.0.0.2,0550\nbed 3,0.0.0.3,5a\n")));
        QVERIFY(Page()->Result(0).isEmpty());
        QVERIFY2(Page()->Result(1).contains(QStringLiteral("呼叫号码：0550 重复，与文件第 2 行相同")),
                 qPrintable(Page()->Result(1)));
        QVERIFY(Page()->Result(2).contains(QStringLiteral("呼叫号码：“5a”不是呼叫号码（1 至 16 位数字）")));
        WriteAll(0);
        QVERIFY(!Page()->Writing());
        QVERIFY(Frames(300).empty());
    }

    // A name of sixty characters is cut in its cell, whole in its tooltip, and the result and the address
    // beside it stay in sight.
    void ALongNameKeepsTheOtherColumnsInSight() {
        const std::string name(60, 'N');
        QVERIFY(Page()->LoadFile(Write("long.csv", "name,address\n" + name + ",0.0.0.1\nbed 2,0.0.0.2\n")));
        ShowList();
        auto* table = Page()->findChild<QTableWidget*>();
        QVERIFY(table->columnWidth(0) <= 160);
        QCOMPARE(table->item(0, 0)->toolTip(), QString::fromStdString(name));
        const int addressRight = table->columnViewportPosition(2) + table->columnWidth(2);
        QVERIFY2(addressRight <= table->viewport()->width(),
                 qPrintable(QStringLiteral("address column ends at %1 of %2")
                                .arg(addressRight)
                                .arg(table->viewport()->width())));
        QVERIFY(table->item(1, 0)->toolTip().isEmpty()); // a short name needs none
    }

    void StopEndsAfterTheFrameBeingWrittenAndTheWindowGoesOn() {
        QVERIFY(Page()->LoadFile(Write("site.csv", SiteList(10))));
        const QString clock = m_window->m_statusBar->Text(2);
        WriteAll(400);
        QVERIFY(WaitUntil([&] { return Page()->Result(1) == QStringLiteral("已发送"); }, 10000));
        ButtonNamed(QStringLiteral("停止"))->click();
        QVERIFY(WaitUntil([&] { return !Page()->Writing(); }, 2000));
        QCOMPARE(Page()->Result(0), QStringLiteral("已发送"));
        QCOMPARE(Page()->Result(9), QStringLiteral("未发送（已停止）"));
        QCOMPARE(m_window->m_statusBar->Text(1), QStringLiteral("已停止"));
        // The tick went on meanwhile: the clock moved on while frames were 400 ms apart.
        QVERIFY(WaitUntil([&] { return m_window->m_statusBar->Text(2) != clock; }, 3000));
        const std::vector<std::string> sent = Frames();
        QVERIFY(sent.size() >= 3 && sent.size() < 12);
    }

    void AStalledDeviceOrAClosedPortFailsTheRowWithTheReason() {
        EndSession();
        QVERIFY(StartSession({"--stall-after", "2"}, true));
        QVERIFY(Page()->LoadFile(Write("site.csv", SiteList(6))));
        Page()->findChild<QCheckBox*>()->setChecked(true);
        WriteAll(0);
        QVERIFY(WaitUntil([&] { return !Page()->Writing(); }, 20000));
        int failed = -1;
        for (int row = 0; row < 6 && failed < 0; ++row) {
            if (Page()->Result(row).startsWith(QStringLiteral("失败："))) {
                failed = row;
            }
        }
        QVERIFY(failed >= 0);
        QVERIFY2(Page()->Result(failed).contains(QStringLiteral("没有再收下数据")),
                 qPrintable(Page()->Result(failed)));
        QCOMPARE(Page()->Result(5), QStringLiteral("未发送"));

        // No port open: the first watch fails saying so, nothing else is tried.
        m_window->Link().Close();
        WriteAll(0);
        QVERIFY(WaitUntil([&] { return !Page()->Writing(); }, 5000));
        QCOMPARE(Page()->Result(0), QStringLiteral("失败：串口未打开"));
        QCOMPARE(Page()->Result(1), QStringLiteral("未发送"));
    }
};

QTEST_MAIN(WatchListTest)
#include "watch_list_test.moc"
