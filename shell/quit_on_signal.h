#pragma once
// Ends the program the normal way when it is told to (SIGTERM, SIGHUP at a desktop log-out, SIGINT from
// a terminal), so that an open port is released: on Linux a tty's exclusive flag outlives a killed process
// while the device's other end stays open, and would lock every later opener out.

#include <QObject>

class QSocketNotifier;

namespace velkor {
class DeviceLink;
}

class QuitOnSignal : public QObject {
    Q_OBJECT
public:
    // Installs the handlers; the application quits from its event loop when one of the signals arrives.
    explicit QuitOnSignal(QObject* parent = nullptr);
    ~QuitOnSignal() override;
    QuitOnSignal(const QuitOnSignal&) = delete;
    QuitOnSignal& operator=(const QuitOnSignal&) = delete;

    // The link whose write a signal interrupts at once (`on`), or no longer (`on` false), so that a stalled
    // device cannot hold the quit for its wait. The main window names its own.
    static void Interrupts(velkor::DeviceLink* link, bool on);

private:
    static void OnSignal(int signal);
    void OnWoken();

    QSocketNotifier* m_notifier = nullptr;
};
