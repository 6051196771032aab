#pragma once
// The application: the window's language (Chinese, or English where the user asks for it) with Qt's
// standard buttons in the same language, the main window, and the run until it closes.

#include "quit_on_signal.h"

#include <QApplication>
#include <QStringList>
#include <QTranslator>

// The language the window speaks for a user whose languages are `uiLanguages`, most wanted first (as
// QLocale::uiLanguages() lists them, "en-US" or "en_US"): "en" when English comes before any Chinese,
// otherwise "zh_CN", the program's own language, also for every language it has no translation for.
QString WindowLanguage(const QStringList& uiLanguages);

class CVelkorApp : public QApplication {
    Q_OBJECT
public:
    CVelkorApp(int& argc, char** argv);
    // Shows the main window and runs until it is closed; returns the exit code.
    int InitInstance();
    // Makes `language` ("en" or "zh_CN") the one of the windows built from now on: the window's texts and
    // Qt's own (确定 / OK). False when a translation it needs is not found (the window then stays Chinese,
    // or Qt's buttons English).
    bool SetLanguage(const QString& language);
    QString Language() const { return m_language; }

private:
    QString m_language;
    QTranslator m_translator; // the window's texts (none for Chinese, the source language)
    QTranslator m_qtTranslator;
    QuitOnSignal m_quitOnSignal;
};
