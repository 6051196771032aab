#include "velkor_app.h"

#include "velkor_dlg.h"

#include <QLibraryInfo>

CVelkorApp::CVelkorApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Velkor"));
    setApplicationVersion(QStringLiteral("2.4"));
    // Message boxes say "确定", as on the systems the tool was made for, whatever the user's locale.
    if (m_qtTranslator.load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        installTranslator(&m_qtTranslator);
    }
}

int CVelkorApp::InitInstance() {
    CVelkorDlg dialog;
    dialog.show();
    return exec();
}
