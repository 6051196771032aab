#pragma once
// The application: Chinese standard buttons, the main window, and the run until it closes.

#include "quit_on_signal.h"

#include <QApplication>
#include <QTranslator>

class CVelkorApp : public QApplication {
    Q_OBJECT
public:
    CVelkorApp(int& argc, char** argv);
    // Shows the main window and runs until it is closed; returns the exit code.
    int InitInstance();

private:
    QTranslator m_qtTranslator;
    QuitOnSignal m_quitOnSignal;
};
