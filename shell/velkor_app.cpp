#include "velkor_app.h"

#include "controls/dialog_builder.h"
#include "resources/version.h"
#include "velkor_dlg.h"

#include <QLibraryInfo>
#include <QTimer>
#include <cstdio>

CVelkorApp::CVelkorApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Velkor"));
    setApplicationVersion(QStringLiteral(VELKOR_VERSION));
    // Every window of the program (message boxes too) speaks Chinese: the CJK dialog face throughout.
    setFont(DialogFont(9));
    // The program's style, before any window exists (dialogs built later find it in place).
    UseDialogStyle();
    // Message boxes say "确定", as on the systems the tool was made for, whatever the user's locale.
    if (m_qtTranslator.load(QStringLiteral("qtbase_zh_CN"),
                            QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        installTranslator(&m_qtTranslator);
    }
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
            const QString ok = QCoreApplication::translate("QPlatformTheme", "OK");
            std::printf("title: %s\ntranslations: %s\nok button: %s\nicon: %s\n",
                        dialog.windowTitle().toUtf8().constData(),
                        m_qtTranslator.isEmpty() ? "none" : m_qtTranslator.language().toUtf8().constData(),
                        ok.toUtf8().constData(),
                        dialog.windowIcon().isNull() || LoadIconPixmap(131, 36).isNull() ? "missing" : "ok");
        }
        std::fflush(stdout);
        QTimer::singleShot(0, this, &QCoreApplication::quit);
    }
    return exec();
}
