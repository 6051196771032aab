// The window in its two languages: which one a user's languages choose, English on every page and box with
// nothing left in Chinese, today's Chinese window untouched, and every caption whole in both at the scale
// the test runs at (ctest runs it at 1 and at 1.5).

#include "controls/color_static.h"
#include "controls/dialog_builder.h"
#include "controls/solid_list_ctrl.h"
#include "frames/hex.h"
#include "pages/dialog_page1.h"
#include "pages/dialog_page2.h"
#include "pages/dialog_page3.h"
#include "pages/dialog_page4.h"
#include "pages/dialog_page6.h"
#include "pages/watch_list_page.h"
#include "serial/receive_buffer.h"
#include "shell/status_bar.h"
#include "shell/velkor_app.h"
#include "ui_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>

using velkor::resources::ControlKind;
using velkor::resources::DialogTemplate;

namespace {

// Chinese characters and the full-width punctuation that goes with them.
bool HasChinese(const QString& text) {
    static const QRegularExpression chinese(
        QStringLiteral("[\\p{Han}\\x{3000}-\\x{303F}\\x{FF00}-\\x{FFEF}]"));
    return text.contains(chinese);
}

QString WithoutMnemonic(QString text) {
    return text.remove(QRegularExpression(QStringLiteral("&(?!&)")));
}

// Every text a user (or a screen reader) meets in `widget` and below it, each with where it was found.
QStringList TextsOf(const QWidget* widget) {
    QStringList texts;
    auto add = [&](const QObject* where, const QString& what, const QString& text) {
        if (!text.isEmpty()) {
            texts << QStringLiteral("%1 %2: %3")
                         .arg(QString::fromLatin1(where->metaObject()->className()), what, text);
        }
    };
    QList<const QWidget*> all = {widget};
    for (const QWidget* child : widget->findChildren<QWidget*>()) {
        all << child;
    }
    for (const QWidget* w : all) {
        add(w, QStringLiteral("name"), w->accessibleName());
        add(w, QStringLiteral("tooltip"), w->toolTip());
        if (const auto* label = qobject_cast<const QLabel*>(w)) {
            add(w, QStringLiteral("text"), label->text());
        } else if (const auto* button = qobject_cast<const QAbstractButton*>(w)) {
            add(w, QStringLiteral("text"), button->text());
        } else if (const auto* box = qobject_cast<const QGroupBox*>(w)) {
            add(w, QStringLiteral("title"), box->title());
        } else if (const auto* combo = qobject_cast<const QComboBox*>(w)) {
            for (int i = 0; i < combo->count(); ++i) {
                add(w, QStringLiteral("item"), combo->itemText(i));
            }
        } else if (const auto* table = qobject_cast<const QTableWidget*>(w)) {
            for (int i = 0; i < table->columnCount(); ++i) {
                add(w, QStringLiteral("heading"), table->horizontalHeaderItem(i)->text());
            }
        } else if (const auto* list = qobject_cast<const QListWidget*>(w)) {
            for (int i = 0; i < list->count(); ++i) {
                add(w, QStringLiteral("item"), list->item(i)->text());
            }
        } else if (const auto* caption = qobject_cast<const CColorStatic*>(w)) {
            add(w, QStringLiteral("text"), caption->Text());
        }
    }
    return texts;
}

// Whether `widget`'s text shows whole in its rectangle, with the font and the style in use; empty when it
// does, else what is cut and by how much.
QString Cut(const QWidget* widget) {
    const QFontMetrics metrics = widget->fontMetrics();
    auto cut = [&](const QString& text, int needed, int room) {
        return needed <= room ? QString()
                              : QStringLiteral("%1 \"%2\" needs %3 px, has %4")
                                    .arg(QString::fromLatin1(widget->metaObject()->className()), text)
                                    .arg(needed)
                                    .arg(room);
    };
    if (const auto* label = qobject_cast<const QLabel*>(widget)) {
        const QRect room = label->contentsRect();
        if (label->text().isEmpty() || label->objectName() == QLatin1String("portNote")) {
            return {}; // the port notes wrap and scroll
        }
        if (label->wordWrap()) {
            const QRect used = metrics.boundingRect(room, Qt::TextWordWrap, label->text());
            return cut(label->text(), used.height(), room.height()) +
                   cut(label->text(), used.width(), room.width());
        }
        return cut(label->text(), metrics.horizontalAdvance(label->text()), room.width()) +
               cut(label->text(), metrics.height(), room.height());
    }
    if (const auto* button = qobject_cast<const QPushButton*>(widget)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        const QRect room = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        // A little air either side, or the letters touch the bevel.
        return cut(button->text(), metrics.horizontalAdvance(WithoutMnemonic(button->text())) + 4,
                   room.width());
    }
    if (const auto* check = qobject_cast<const QCheckBox*>(widget)) {
        QStyleOptionButton option;
        option.initFrom(check);
        option.text = check->text();
        const QRect room = check->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, check);
        return cut(check->text(), metrics.horizontalAdvance(WithoutMnemonic(check->text())), room.width());
    }
    if (const auto* box = qobject_cast<const QGroupBox*>(widget)) {
        QStyleOptionGroupBox option;
        option.initFrom(box);
        option.text = box->title();
        option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
        option.textAlignment = box->alignment();
        const QRect title =
            box->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, box);
        // The title breaks the frame's top edge and must end before its right edge (two pixels of line).
        return cut(box->title(), title.left() + metrics.horizontalAdvance(box->title()), box->width() - 3);
    }
    return {};
}

// What does not show whole on the shown page of `window`, and in its navigation list and caption bar.
QStringList CutTexts(CVelkorDlg& window) {
    QStringList cuts;
    for (const QWidget* child : window.findChildren<QWidget*>()) {
        if (child->isVisible()) {
            const QString problem = Cut(child);
            if (!problem.isEmpty()) {
                cuts << problem;
            }
        }
    }
    CSolidListCtrl* list = window.m_navList;
    for (int i = 0; i < list->count(); ++i) {
        const QRect room = list->visualItemRect(list->item(i));
        const int needed = list->fontMetrics().horizontalAdvance(list->item(i)->text());
        if (needed > room.width()) {
            cuts << QStringLiteral("navigation \"%1\" needs %2 px, has %3")
                        .arg(list->item(i)->text())
                        .arg(needed)
                        .arg(room.width());
        }
    }
    const int needed = QFontMetrics(CaptionFont()).horizontalAdvance(window.m_caption->Text());
    if (needed > window.m_caption->width()) {
        cuts << QStringLiteral("caption \"%1\" needs %2 px, has %3")
                    .arg(window.m_caption->Text())
                    .arg(needed)
                    .arg(window.m_caption->width());
    }
    return cuts;
}

} // namespace

class LanguageTest : public QObject {
    Q_OBJECT
private:
    void Use(const QString& language) { QVERIFY(static_cast<CVelkorApp*>(qApp)->SetLanguage(language)); }

private slots:
    void cleanup() { Use(QStringLiteral("zh_CN")); }

    void TheUsersLanguagesChooseTheWindows_data() {
        QTest::addColumn<QStringList>("languages");
        QTest::addColumn<QString>("chosen");
        const QString en = QStringLiteral("en");
        const QString zh = QStringLiteral("zh_CN");
        QTest::newRow("LANGUAGE=en") << QStringList{en} << en;
        QTest::newRow("an English desktop") << QStringList{QStringLiteral("en-US")} << en;
        QTest::newRow("English of Britain, underscored") << QStringList{QStringLiteral("en_GB")} << en;
        QTest::newRow("Chinese") << QStringList{QStringLiteral("zh-CN")} << zh;
        QTest::newRow("Chinese of Taiwan") << QStringList{QStringLiteral("zh-Hant-TW")} << zh;
        QTest::newRow("German only") << QStringList{QStringLiteral("de-DE")} << zh;
        QTest::newRow("German, then English") << QStringList{QStringLiteral("de-DE"), en} << en;
        QTest::newRow("Chinese before English") << QStringList{QStringLiteral("zh-CN"), en} << zh;
        QTest::newRow("the C locale") << QStringList{QStringLiteral("C")} << zh;
        QTest::newRow("nothing") << QStringList{} << zh;
        QTest::newRow("a word that begins like English") << QStringList{QStringLiteral("eng")} << zh;
    }
    void TheUsersLanguagesChooseTheWindows() {
        QFETCH(QStringList, languages);
        QFETCH(QString, chosen);
        QCOMPARE(WindowLanguage(languages), chosen);
    }

    void EveryPageSpeaksEnglish() {
        Use(QStringLiteral("en"));
        CVelkorDlg window;
        window.show();
        QCOMPARE(window.windowTitle(),
                 QStringLiteral("Wireless Watch Setup and Messaging Tool - for Zelt V" VELKOR_VERSION));
        QStringList chinese;
        for (int item = 0; item < window.m_navList->count(); ++item) {
            window.ShowPage(item);
            for (const QString& text : TextsOf(&window)) {
                if (HasChinese(text)) {
                    chinese << text;
                }
            }
        }
        chinese.removeDuplicates();
        QVERIFY2(chinese.isEmpty(), qPrintable(chinese.join(QLatin1Char('\n'))));
        QCOMPARE(window.m_caption->Text(), QStringLiteral(" Help"));
        // The status words were English already, and stay.
        QCOMPARE(window.m_statusBar->Text(0), QStringLiteral("Close"));
        // What the watches are sent never depends on the language: the weekdays are chosen by position.
        auto* weekday = window.m_page2->Get<QComboBox>(velkor::resources::WirelessIds::Weekday);
        QCOMPARE(weekday->itemText(0), QStringLiteral("Mon"));
        QCOMPARE(weekday->count(), 7);
    }

    void TheBoxesSpeakEnglishWithQtsOwnOk() {
        Use(QStringLiteral("en"));
        CVelkorDlg window;
        window.show();
        BoxDismisser boxes;
        // An empty text: nothing to send.
        window.ShowPage(2);
        window.m_page3->Get<QPushButton>(velkor::resources::TextMessageIds::Send)->click();
        // The module's clock, and its configuration read back.
        window.ShowPage(4);
        for (const char* answer :
             {"FA 80 FD 07 11 03 05 0E 1E 0F 00 D1 0D", "FA 80 F4 07 6C 80 12 02 05 05 03 76 0D"}) {
            const std::vector<uint8_t> bytes = Hex(answer);
            velkor::ReceivedFrame frame;
            std::copy(bytes.begin(), bytes.end(), frame.bytes.begin());
            frame.count = static_cast<int>(bytes.size());
            frame.received = bytes.size();
            window.m_page6->OnFrameReceived(frame);
        }
        // A watch list with faults in the file and in a row.
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("site.csv"));
        std::ofstream(path.toStdString()) << "name,address,colour\nA,1.2.3.400,red\n";
        window.ShowPage(3);
        QVERIFY(window.m_watchList->LoadFile(path));
        std::ofstream(path.toStdString()) << "name,name\n";
        QVERIFY(!window.m_watchList->LoadFile(path));

        QVERIFY(boxes.WaitFor(4));
        const QList<SeenBox> seen = boxes.Seen();
        QCOMPARE(seen[0].text, QStringLiteral("The text to send must not be empty!"));
        QCOMPARE(seen[0].caption, window.windowTitle());
        QCOMPARE(seen[0].buttons, QStringList{QStringLiteral("OK")});
        QCOMPARE(seen[1].text, QStringLiteral("2017-03-05 14:30:15, weekday 0"));
        QCOMPARE(seen[1].caption, QStringLiteral("Get time"));
        QCOMPARE(seen[2].text, QStringLiteral("Configuration read."));
        QCOMPARE(seen[2].caption, QStringLiteral("LoRa configuration"));
        QCOMPARE(seen[3].caption, QStringLiteral("Watch list"));
        QCOMPARE(seen[3].text,
                 QStringLiteral("Cannot import %1:\nLine 1: Name: This column appears twice\nLine 1: "
                                "Watch address: The heading lacks this column "
                                "(name,address,freq,net,host1,...,host10)")
                     .arg(path));
        for (const SeenBox& box : seen) {
            QVERIFY2(!HasChinese(box.text + box.caption + box.buttons.join(QString())), qPrintable(box.text));
        }
    }

    void FaultsAndStatesOfThePagesSpeakEnglish() {
        Use(QStringLiteral("en"));
        qputenv("VELKOR_PORTS", "/dev/velkor-no-such-port");
        CVelkorDlg window;
        qunsetenv("VELKOR_PORTS");
        window.show();
        const QLabel* note = window.m_page1->findChild<QLabel*>(QStringLiteral("portNote"));
        QCOMPARE(note->text(), QStringLiteral("/dev/velkor-no-such-port no longer exists"));

        // A row's faults beside it, and the count in the status bar.
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("site.csv"));
        std::ofstream(path.toStdString()) << "name,address,freq,net\nA,1.2.3.400,434.00,\nA,1.2.3.4,,\n";
        window.ShowPage(3);
        QVERIFY(window.m_watchList->LoadFile(path));
        auto* table = window.m_watchList->findChild<QTableWidget*>();
        QCOMPARE(
            table->item(0, 1)->text(),
            QStringLiteral("Watch address: \"1.2.3.400\" is not an address A.B.C.D (each part 0 to 255); "
                           "Network ID: Fill in both frequency and network ID, or leave both empty (the "
                           "channel stays)"));
        QCOMPARE(table->item(1, 1)->text(),
                 QStringLiteral("Name: The name \"A\" is used twice, as on line 2 of the file"));
        QCOMPARE(window.m_statusBar->Text(1), QStringLiteral("Faults in the list: 3"));
        QCOMPARE(table->horizontalHeaderItem(3)->text(), QStringLiteral("Freq. (MHz)"));
    }

    void TheChineseWindowIsTodays() {
        Use(QStringLiteral("zh_CN"));
        CVelkorDlg window;
        window.show();
        QCOMPARE(window.windowTitle(),
                 QStringLiteral("无线手表参数配置及信息发送工具-Zelt适用 V" VELKOR_VERSION));
        QCOMPARE(window.m_navList->item(2)->text(), QStringLiteral("显示页面"));
        window.ShowPage(2);
        QCOMPARE(window.m_caption->Text(), QStringLiteral(" 文本输入（限定42个汉字）"));
        QCOMPARE(QMessageBox(QMessageBox::NoIcon, {}, {}, QMessageBox::Ok).button(QMessageBox::Ok)->text(),
                 QStringLiteral("确定"));
        // Every control of every page where its template puts it, with its Chinese caption.
        const struct {
            const CPage* page;
            const DialogTemplate& dialog;
        } pages[] = {{window.m_page1, velkor::resources::PortSettingsTemplate()},
                     {window.m_page2, velkor::resources::WirelessTemplate()},
                     {window.m_page3, velkor::resources::TextMessageTemplate()},
                     {window.m_page4, velkor::resources::HelpTemplate()},
                     {window.m_page6, velkor::resources::ModuleTemplate()}};
        for (const auto& [page, dialog] : pages) {
            const DialogUnits units(page->font());
            QList<const QWidget*> captioned;
            for (const QWidget* child : page->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
                if (qobject_cast<const QLabel*>(child) != nullptr ||
                    qobject_cast<const QGroupBox*>(child) != nullptr ||
                    qobject_cast<const QAbstractButton*>(child) != nullptr) {
                    captioned << child;
                }
            }
            for (const auto& control : dialog.controls) {
                const QString where =
                    QStringLiteral("template %1, \"%2\"")
                        .arg(dialog.id)
                        .arg(QString::fromUtf8(control.text.data(), qsizetype(control.text.size())));
                const QRect rect = units.ToPixels(control.x, control.y, control.width, control.height);
                const QWidget* widget = control.id != 0 ? page->Control(control.id) : nullptr;
                if (widget == nullptr) {
                    // Labels and group boxes have no id: found by caption and place.
                    for (const QWidget* candidate : captioned) {
                        if (candidate->geometry() == rect) {
                            widget = candidate;
                        }
                    }
                }
                QVERIFY2(widget != nullptr, qPrintable(where));
                QCOMPARE(widget->pos(), rect.topLeft());
                QCOMPARE(widget->width(), rect.width());
                if (const auto* label = qobject_cast<const QLabel*>(widget);
                    label && control.kind == ControlKind::Label) {
                    QCOMPARE(label->text(),
                             QString::fromUtf8(control.text.data(), qsizetype(control.text.size())));
                    QVERIFY2(!label->wordWrap(), qPrintable(where));
                }
                if (const auto* box = qobject_cast<const QGroupBox*>(widget)) {
                    QCOMPARE(box->title(),
                             QString::fromUtf8(control.text.data(), qsizetype(control.text.size())));
                }
            }
        }
    }

    void EveryCaptionShowsWhole_data() {
        QTest::addColumn<QString>("language");
        QTest::newRow("Chinese") << QStringLiteral("zh_CN");
        QTest::newRow("English") << QStringLiteral("en");
    }
    void EveryCaptionShowsWhole() {
        QFETCH(QString, language);
        Use(language);
        CVelkorDlg window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        // The run at 1.5 must really draw at 1.5 (fonts hinted at other sizes measure differently).
        const double scale = qEnvironmentVariableIsSet("QT_SCALE_FACTOR")
                                 ? qEnvironmentVariable("QT_SCALE_FACTOR").toDouble()
                                 : 1.0;
        QCOMPARE(window.devicePixelRatioF(), scale);
        QStringList cuts;
        for (int item = 0; item < window.m_navList->count(); ++item) {
            window.ShowPage(item);
            QCoreApplication::processEvents(); // the watch list lays itself out once shown
            for (const QString& cut : CutTexts(window)) {
                cuts << QStringLiteral("page %1: %2").arg(item).arg(cut);
            }
        }
        // The About box, built from the help page's template.
        window.ShowPage(0);
        QTimer::singleShot(0, &window, [&] {
            for (QWidget* top : QApplication::topLevelWidgets()) {
                if (top->isVisible() && top != &window && top->inherits("QDialog")) {
                    for (const QWidget* child : top->findChildren<QWidget*>()) {
                        if (const QString cut = Cut(child); !cut.isEmpty()) {
                            cuts << QStringLiteral("about: %1").arg(cut);
                        }
                    }
                    QVERIFY(!top->windowTitle().isEmpty());
                    static_cast<QDialog*>(top)->accept();
                }
            }
        });
        window.OnAbout();
        cuts.removeDuplicates();
        QVERIFY2(cuts.isEmpty(), qPrintable(cuts.join(QLatin1Char('\n'))));
    }
};

int main(int argc, char** argv) {
    CVelkorApp app(argc, argv);
    LanguageTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "language_test.moc"
