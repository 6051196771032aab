#pragma once
// The port settings page: which serial port, its baud rate and parity, and the open/close toggle.

#include "page.h"

class QComboBox;
class QPushButton;

class CDialog_Page1 : public CPage {
    Q_OBJECT
public:
    explicit CDialog_Page1(QWidget* parent);

    // Lists the ports that can be opened now and selects the first ("刷新").
    void RebuildPortList();
    // Closes the open port, or opens the selected one ("打开"/"关闭").
    void OnOpenClose();
    // The device went away while open: release it and show the closed state, so the user can reopen.
    void OnDeviceLost();

private:
    void ShowPortState();

    QComboBox* m_portList;
    QComboBox* m_baudList;
    QComboBox* m_parityList;
    QPushButton* m_openClose;
    QPushButton* m_refresh;
};
