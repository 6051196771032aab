#pragma once
// The main window: the navigation list on the left, the page under its caption bar on the right, the
// three-part status bar at the bottom, and the 100 ms timer that drives the receive path and the pages.

#include "serial/device_link.h"

#include <QIcon>
#include <QTimer>
#include <QWidget>
#include <array>
#include <deque>
#include <functional>

class CColorStatic;
class CSolidListCtrl;
class QFrame;
class CDialog_Page1;
class CDialog_Page2;
class CDialog_Page3;
class CDialog_Page4;
class CDialog_Page6;
class CWatchListPage;
class StatusBar;

inline constexpr int MAIN_TIMER_ID = 103;
inline constexpr int MAIN_TIMER_PERIOD_MS = 100;

class CPage;

class CVelkorDlg : public QWidget {
    Q_OBJECT
public:
    enum class PageCreation {
        Now,        // every page is built before the constructor returns
        AfterShown, // the hidden pages are built right after the window is first shown (the program's way)
    };
    explicit CVelkorDlg(QWidget* parent = nullptr, PageCreation pages = PageCreation::Now);
    ~CVelkorDlg() override;

    // Shows the page of navigation item 0 to 5 and names it in the caption bar.
    void ShowPage(int item);
    // One tick of the 100 ms timer (called by the timer; tests call it directly).
    void OnTimer();
    void OnAbout();

    // The link to the device this window and its pages talk through.
    velkor::DeviceLink& Link() { return m_link; }

    // Starts or stops the 100 ms timer; tests stop it and call OnTimer themselves.
    void SetTimerRunning(bool running);
    // Reports each duty of a tick as it runs ("clock", "frame", "text", "wireless", "port"); for tests.
    void SetTickObserver(std::function<void(const char*)> observer) { m_tickObserver = std::move(observer); }

    StatusBar* m_statusBar = nullptr;
    CColorStatic* m_caption = nullptr;
    CSolidListCtrl* m_navList = nullptr;
    QFrame* m_pageFrame = nullptr;
    CDialog_Page1* m_page1 = nullptr;
    CDialog_Page2* m_page2 = nullptr;
    CDialog_Page3* m_page3 = nullptr;
    CDialog_Page4* m_page4 = nullptr;
    CDialog_Page6* m_page6 = nullptr;
    CWatchListPage* m_watchList = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void OnNavClick();
    void HandOverFrames();
    void OnNavKeyDown(int key);
    void Trace(const char* duty) const;
    void AttachPage(CPage* page);
    void CreateHiddenPages();
    std::array<QWidget*, 6> PagesInOrder() const;

    velkor::DeviceLink m_link;
    QRect m_pageRect; // the page frame shrunk by 3 px
    QIcon m_hIcon;
    QTimer m_timer;
    std::deque<velkor::ReceivedFrame> m_pendingFrames; // completed, not yet handed to the module page
    bool m_handingOver = false;
    bool m_buildPagesAfterPaint = false; // the hidden pages wait for the window's first paint
    std::function<void(const char*)> m_tickObserver;
};
