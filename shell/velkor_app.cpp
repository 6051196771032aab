#include "velkor_app.h"

#include "controls/dialog_builder.h"
#include "frames/version.h"
#include "velkor_dlg.h"

#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

QString WindowLanguage(const QStringList& uiLanguages) {
    for (const QString& language : uiLanguages) {
        // "zh", "zh-Hans-CN", "zh_TW": Chinese is the source; the first language we have decides.
        const QString code = language.section(QLatin1Char('-'), 0, 0).section(QLatin1Char('_'), 0, 0);
        if (code.compare(QLatin1String("zh"), Qt::CaseInsensitive) == 0) {
            break;
        }
        if (code.compare(QLatin1String("en"), Qt::CaseInsensitive) == 0) {
            return QStringLiteral("en");
        }
    }
    return QStringLiteral("zh_CN");
}

CVelkorApp::CVelkorApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Velkor"));
    setApplicationVersion(QStringLiteral(VELKOR_VERSION));
    // Every window of the program (message boxes too) may show Chinese: the CJK dialog face throughout,
    // whose Latin letters serve the English texts as well.
    setFont(DialogFont(9));
    // The program's style, before any window exists (dialogs built later find it in place).
    UseDialogStyle();
    // The user's languages as Qt reads them (LANGUAGE, then LC_ALL, LC_MESSAGES, LANG).
    SetLanguage(WindowLanguage(QLocale::system().uiLanguages()));
}

bool CVelkorApp::SetLanguage(const QString& language) {
    m_language = language;
    removeTranslator(&m_translator);
    removeTranslator(&m_qtTranslator);
    if (language == QLatin1String("en")) {
        // Qt's own texts are English already.
        const bool loaded = m_translator.load(QStringLiteral(":/i18n/velkor_en"));
        return loaded && installTranslator(&m_translator);
    }
    // Message boxes say "确定", as on the systems the tool was made for.
    const bool loaded = m_qtTranslator.load(QStringLiteral("qtbase_zh_CN"),
                                            QLibraryInfo::path(QLibraryInfo::TranslationsPath));
    return loaded && installTranslator(&m_qtTranslator);
}

int CVelkorApp::InitInstance() {
    CVelkorDlg dialog(nullptr, CVelkorDlg::PageCreation::AfterShown);
    dialog.show();
    if (qEnvironmentVariableIsSet("VELKOR_STARTUP_PROBE")) {
        // For the start-up benchmark: let the window be exposed and painted (no timers yet), say that it is
        // up, then leave once the rest of the start-up (the hidden pages) has run, so the memory figure
        // includes it.
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::X11ExcludeTimers);
        std::printf("shown\n");
        if (qEnvironmentVariable("VELKOR_STARTUP_PROBE") == QLatin1String("report")) {
            // For the package check: what an installed program found of its translations and icons.
            QMessageBox box(QMessageBox::NoIcon, QString(), QString(), QMessageBox::Ok);
            const QString ok = box.button(QMessageBox::Ok)->text();
            const QTranslator& used = m_language == QLatin1String("en") ? m_translator : m_qtTranslator;
            std::printf("title: %s\ntranslations: %s\nok button: %s\nicon: %s\n",
                        dialog.windowTitle().toUtf8().constData(),
                        used.isEmpty() ? "none" : used.language().toUtf8().constData(),
                        ok.toUtf8().constData(),
                        dialog.windowIcon().isNull() || LoadIconPixmap(131, 36).isNull() ? "missing" : "ok");
        }
        std::fflush(stdout);
        QTimer::singleShot(0, this, &QCoreApplication::quit);
    }
    return exec();
}
