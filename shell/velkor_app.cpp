#include "velkor_app.h"

#include "velkor_dlg.h"

#include <QLibraryInfo>
#include <QTimer>
#include <cstdio>

CVelkorApp::CVelkorApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Velkor"));
    setApplicationVersion(QStringLiteral("2.4"));
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
        // For the start-up benchmark: deliver the pending paint, say that the window is up, then leave once
        // the rest of the start-up (the hidden pages) has run, so the memory figure includes it.
        QCoreApplication::sendPostedEvents();
        std::printf("shown\n");
        std::fflush(stdout);
        QTimer::singleShot(0, this, &QCoreApplication::quit);
    }
    return exec();
}
