#include "velkor_dlg.h"

#include "about_dlg.h"
#include "controls/color_static.h"
#include "controls/dialog_builder.h"
#include "controls/solid_list_ctrl.h"
#include "pages/dialog_page1.h"
#include "pages/dialog_page2.h"
#include "pages/dialog_page3.h"
#include "pages/dialog_page4.h"
#include "pages/dialog_page6.h"
#include "pages/watch_list_page.h"
#include "quit_on_signal.h"
#include "serial/sequence_store.h"
#include "status_bar.h"

#include <QContextMenuEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QTime>

using velkor::resources::MainWindowIds;

namespace {

struct NavItem {
    const char* label;
    int icon;
    const char* caption;
};

// Item index = argument of ShowPage. The items' words and the pages' titles are translated apart: an item
// has the room of the narrow list, a title the whole band.
const NavItem kNavItems[] = {
    {QT_TRANSLATE_NOOP("Navigation", "系统设置"), 131, QT_TRANSLATE_NOOP("PageTitle", "系统设置")},
    {QT_TRANSLATE_NOOP("Navigation", "无线配置"), 129, QT_TRANSLATE_NOOP("PageTitle", "无线配置")},
    {QT_TRANSLATE_NOOP("Navigation", "显示页面"), 130,
     QT_TRANSLATE_NOOP("PageTitle", "文本输入（限定42个汉字）")},
    {QT_TRANSLATE_NOOP("Navigation", "手表名单"), 129, QT_TRANSLATE_NOOP("PageTitle", "手表名单")},
    {QT_TRANSLATE_NOOP("Navigation", "串口配置"), 160, QT_TRANSLATE_NOOP("PageTitle", "串口配置")},
    {QT_TRANSLATE_NOOP("Navigation", "帮助文件"), 132, QT_TRANSLATE_NOOP("PageTitle", "帮助文件")},
};

constexpr int kNavIconSize = 36;
constexpr int kStatusIconSize = 16;

QString TimeOfDay() {
    return QTime::currentTime().toString(QStringLiteral("HH:mm:ss")); // 24-hour, whatever the locale
}

} // namespace

CVelkorDlg::CVelkorDlg(QWidget* parent, PageCreation pages) : QWidget(parent, Qt::Window) {
    QuitOnSignal::Interrupts(&m_link, true);
    const auto& dialog = velkor::resources::MainWindowTemplate();
    setWindowTitle(AppTitle());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    QFont font = DialogFont(dialog.pointSize);
    setFont(font);
    DialogUnits units(font);
    auto rectOf = [&](int id) {
        const auto* control = dialog.Find(id);
        return units.ToPixels(control->x, control->y, control->width, control->height);
    };

    m_hIcon = QIcon(LoadIconPixmap(127, 32));
    m_hIcon.addPixmap(LoadIconPixmap(127, 16));
    setWindowIcon(m_hIcon);

    m_caption = new CColorStatic(this);
    m_caption->Bind(rectOf(MainWindowIds::Caption));

    m_navList = new CSolidListCtrl(this);
    m_navList->setGeometry(rectOf(MainWindowIds::Navigation));
    m_navList->setAccessibleName(Translated(dialog.context, dialog.Find(MainWindowIds::Navigation)->name));
    m_navList->setIconSize(QSize(kNavIconSize, kNavIconSize));
    for (const NavItem& item : kNavItems) {
        auto* entry = new QListWidgetItem(QIcon(LoadIconPixmap(item.icon, kNavIconSize)),
                                          QCoreApplication::translate("Navigation", item.label));
        entry->setTextAlignment(Qt::AlignHCenter | Qt::AlignTop);
        m_navList->addItem(entry);
    }
    m_navList->SetRowsToFit();
    m_navList->installEventFilter(this);
    connect(m_navList, &CSolidListCtrl::NavClicked, this, &CVelkorDlg::OnNavClick);

    m_pageFrame = new QFrame(this);
    m_pageFrame->setFrameStyle(QFrame::Box | QFrame::Sunken);
    m_pageFrame->setGeometry(rectOf(MainWindowIds::PageFrame));

    m_pageRect = m_pageFrame->geometry().adjusted(3, 3, -3, -3);
    m_page1 = new CDialog_Page1(this, m_link);
    AttachPage(m_page1);
    if (pages == PageCreation::AfterShown) {
        // The port settings page is what the user sees first; the other four are built once the window has
        // been painted (see paintEvent), or earlier when a click, a key or the first tick needs them.
        m_buildPagesAfterPaint = true;
    } else {
        CreateHiddenPages();
    }
    ShowPage(0);

    // The status bar lies along the bottom of the client area, below the controls.
    QSize client = units.ToPixels(dialog.width, dialog.height);
    m_statusBar = new StatusBar(this);
    int statusHeight = std::max(QFontMetrics(font).height() + 6, kStatusIconSize + 8);
    m_statusBar->setGeometry(0, client.height() - statusHeight, client.width(), statusHeight);
    m_statusBar->SetText(0, QStringLiteral("Close"));
    m_statusBar->SetIcon(0, 140, kStatusIconSize);
    m_statusBar->SetText(1, QStringLiteral("...."));
    m_statusBar->SetIcon(1, 155, kStatusIconSize);
    m_statusBar->SetText(2, TimeOfDay());
    m_statusBar->SetIcon(2, 157, kStatusIconSize);

    setFixedSize(client);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }

    m_timer.setObjectName(QStringLiteral("timer%1").arg(MAIN_TIMER_ID));
    connect(&m_timer, &QTimer::timeout, this, &CVelkorDlg::OnTimer);
    m_timer.start(MAIN_TIMER_PERIOD_MS);
}

CVelkorDlg::~CVelkorDlg() {
    QuitOnSignal::Interrupts(&m_link, false);
}

std::array<QWidget*, 6> CVelkorDlg::PagesInOrder() const {
    return {m_page1, m_page2, m_page3, m_page4, m_page6, m_watchList};
}

void CVelkorDlg::AttachPage(CPage* page) {
    page->setGeometry(m_pageRect);
    page->SetStatusWriter(
        [this](const QString& text, const QString& detail) { m_statusBar->SetText(1, text, detail); });
}

void CVelkorDlg::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    if (m_buildPagesAfterPaint) {
        // Posted, so the children of this first paint are drawn and the window shown before the build.
        m_buildPagesAfterPaint = false;
        QMetaObject::invokeMethod(this, &CVelkorDlg::CreateHiddenPages, Qt::QueuedConnection);
    }
}

void CVelkorDlg::CreateHiddenPages() {
    m_buildPagesAfterPaint = false;
    if (m_page6 != nullptr) {
        return;
    }
    m_page2 = new CDialog_Page2(this, m_link);
    m_page3 = new CDialog_Page3(this, m_link);
    m_page4 = new CDialog_Page4(this);
    m_page6 = new CDialog_Page6(this, m_link);
    m_watchList = new CWatchListPage(this, m_link, m_page2->Counter());
    // The numbers of the open device's counter, which velkor-cli and velkor-gateway count on too: a frame
    // never repeats the number another program sent last on the device. Without the counter's folder the
    // pages count on their own, as they always did.
    const auto shared = [this]() -> std::optional<uint8_t> {
        if (!m_link.IsOpen()) {
            return std::nullopt;
        }
        std::string error;
        std::string warning;
        return velkor::TakeSequence(m_link.PortName(), &error, &warning);
    };
    m_page2->Counter().SetSource(shared);
    m_page3->Counter().SetSource(shared);
    for (CPage* page : std::initializer_list<CPage*>{m_page2, m_page3, m_page4, m_page6, m_watchList}) {
        AttachPage(page);
    }
}

void CVelkorDlg::ShowPage(int item) {
    // Navigation item -> page: item 3 is the watch list, item 4 the module page, item 5 the help page.
    static constexpr int kPageOfItem[] = {0, 1, 2, 5, 4, 3};
    if (kPageOfItem[item] != 0) {
        CreateHiddenPages();
    }
    std::array<QWidget*, 6> pages = PagesInOrder();
    for (std::size_t i = 0; i < pages.size(); ++i) {
        if (pages[i] != nullptr) { // the hidden pages may not be built yet
            pages[i]->setVisible(static_cast<int>(i) == kPageOfItem[item]);
        }
    }
    // A space before the title: the band's left margin.
    m_caption->SetText(QLatin1Char(' ') + QCoreApplication::translate("PageTitle", kNavItems[item].caption));
}

void CVelkorDlg::OnNavClick() {
    int selected = m_navList->FirstSelected();
    if (selected >= 0 && selected < m_navList->count()) {
        ShowPage(selected);
    }
}

void CVelkorDlg::OnNavKeyDown(int key) {
    int selected = m_navList->FirstSelected();
    if (selected < 0) {
        return;
    }
    int target = -1;
    switch (key) {
    case Qt::Key_Down:
        target = selected + 1;
        break;
    case Qt::Key_Up:
        target = selected - 1;
        break;
    case Qt::Key_PageDown:
        target = m_navList->count() - 1;
        break;
    case Qt::Key_PageUp:
        target = 0;
        break;
    default:
        return;
    }
    if (target >= 0 && target < m_navList->count()) {
        ShowPage(target);
    }
}

bool CVelkorDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_navList && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter || key->key() == Qt::Key_Escape) {
            return true; // never closes the window, never reaches the list
        }
        OnNavKeyDown(key->key());
        return false; // the list still moves its own highlight
    }
    return QWidget::eventFilter(watched, event);
}

void CVelkorDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        // As in a dialog, Return presses the push button that has the focus (it came here because the
        // button itself takes only Space); in an edit or a list it does nothing. It never closes anything.
        auto* button = qobject_cast<QPushButton*>(focusWidget());
        if (button != nullptr && button->isEnabled() && button->isVisible() && !event->isAutoRepeat()) {
            button->click();
        }
        event->accept();
        return;
    }
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void CVelkorDlg::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* about = menu.addAction(Translated("MainWindow", velkor::resources::IDS_ABOUTBOX));
    connect(about, &QAction::triggered, this, &CVelkorDlg::OnAbout);
    menu.exec(event->globalPos());
}

void CVelkorDlg::OnAbout() {
    CAboutDlg about(this);
    about.exec();
}

void CVelkorDlg::SetTimerRunning(bool running) {
    if (running) {
        m_timer.start(MAIN_TIMER_PERIOD_MS);
    } else {
        m_timer.stop();
    }
}

void CVelkorDlg::Trace(const char* duty) const {
    if (m_tickObserver) {
        m_tickObserver(duty);
    }
}

void CVelkorDlg::HandOverFrames() {
    // A frame that completes while the page shows the message box of an earlier answer waits here, and is
    // handed over by the call that opened that box once the box is closed: each once, in order.
    if (m_handingOver) {
        return;
    }
    m_handingOver = true;
    while (!m_pendingFrames.empty()) {
        velkor::ReceivedFrame next = m_pendingFrames.front();
        m_pendingFrames.pop_front();
        m_page6->OnFrameReceived(next);
        m_statusBar->SetText(1, QStringLiteral("Success!")); // after the page, as the tick writes it
    }
    m_handingOver = false;
}

void CVelkorDlg::OnTimer() {
    CreateHiddenPages();
    Trace("clock");
    m_statusBar->SetText(2, TimeOfDay());

    if (std::optional<velkor::ReceivedFrame> frame = m_link.Tick()) {
        Trace("frame");
        // Only the module page receives frames, and only while it is shown; any other frame is dropped.
        if (m_page6->isVisible()) {
            m_pendingFrames.push_back(*frame);
            // Handed over from the event loop, not from this slot: the page may open a message box, and
            // Qt does not fire a timer again while its slot runs, so the box would stop every tick. The
            // hand-over writes "Success!" once the page is done with the frame.
            QMetaObject::invokeMethod(this, &CVelkorDlg::HandOverFrames, Qt::QueuedConnection);
        } else {
            m_statusBar->SetText(1, QStringLiteral("Success!"));
        }
    }

    Trace("text");
    m_page3->OnTextTick();
    Trace("wireless");
    m_page2->OnClockTick();

    Trace("port");
    // Each change since the last tick; the last one is what part 0 shows.
    std::optional<velkor::PortEvent> shown;
    while (std::optional<velkor::PortEvent> event = m_link.TakePortEvent()) {
        if (*event == velkor::PortEvent::Lost) {
            m_page1->OnDeviceLost(); // shown like a close
        }
        shown = event;
    }
    if (shown == velkor::PortEvent::Opened) {
        m_statusBar->SetText(0, QStringLiteral("Open"));
        m_statusBar->SetIcon(0, 141, kStatusIconSize);
    } else if (shown) {
        m_statusBar->SetText(0, QStringLiteral("Close"));
        m_statusBar->SetIcon(0, 140, kStatusIconSize);
    }
}
