#pragma once
// Helpers for the offscreen window tests: dismissing modal boxes, driving the 100 ms tick by hand.

#include "serial/cxserial.h"
#include "shell/velkor_dlg.h"

#include <QApplication>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// A message box seen and dismissed by the test.
struct SeenBox {
    QString caption;
    QString text;
    QStringList buttons;
};

// Watches for modal boxes from now on and presses their first button once they show, recording them.
class BoxDismisser {
public:
    BoxDismisser();
    ~BoxDismisser();
    const QList<SeenBox>& Seen() const { return m_seen; }
    // Runs the event loop until `count` boxes have been dismissed or `ms` passed.
    bool WaitFor(int count, int ms = 3000);
    // While set, a box is left open (the test closes it itself with Release()).
    void Hold(bool hold) { m_hold = hold; }
    void Release();

private:
    void Poll();
    QList<SeenBox> m_seen;
    bool m_hold = false;
    QTimer m_poll; // stops with the dismisser, so no callback outlives it
};

// Calls the main window's tick `count` times, letting events run in between.
void Tick(CVelkorDlg& window, int count = 1);

// Runs the event loop until `condition` holds or `ms` passed.
bool WaitUntil(const std::function<bool()>& condition, int ms = 3000);

class SimProcess;

// A frame the simulator received from the program, as its JSON line reports it.
struct SimFrame {
    std::string bytes; // "5A 01 FF ..."
    bool valid = false;
    std::string line;
};
// The next frame the simulator reports as received ("dir":"in"), or an empty one after `ms`.
SimFrame NextSimFrame(SimProcess& sim, int ms = 3000);

// Opens `path` through the port settings page, as a user would: refresh, pick it, press "打开".
bool OpenThroughPage(CVelkorDlg& window, const QString& path, int baudIndex = 3, int parityIndex = 0);

class CPage;
class QLineEdit;
class QPushButton;

// The base of the suites that run the window against a simulator: one session per test, torn down in the
// order the program itself would (window, port, receive state, simulator).
class SimWindowTest : public QObject {
protected:
    ~SimWindowTest() override;
    // Starts velkor-sim with `simOptions`, lists its port, shows the window and opens the port through
    // the port settings page. With `timerRunning` false the test drives the ticks itself.
    bool StartSession(std::vector<std::string> simOptions, bool timerRunning);
    void EndSession();

    static QPushButton* Button(CPage* page, int id);
    static QLineEdit* Edit(CPage* page, int id);

    std::unique_ptr<SimProcess> m_sim;
    std::unique_ptr<CVelkorDlg> m_window;
    std::filesystem::path m_sequenceFolder;
};
