// Windows ends a program at log-off through the window system, which Qt turns into a normal quit, and
// closes its handles when it ends however it ends: a COM port is never left locked, and no write has to
// be cut short for it. Nothing to install.

#include "quit_on_signal.h"

QuitOnSignal::QuitOnSignal(QObject* parent) : QObject(parent) {}

QuitOnSignal::~QuitOnSignal() = default;

void QuitOnSignal::Interrupts(velkor::DeviceLink*, bool) {}
