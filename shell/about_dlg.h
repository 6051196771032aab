#pragma once
// The About box: the help page's icon and line, and a button to close it (Return and Escape close it too).

#include <QDialog>

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
