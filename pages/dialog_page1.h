#pragma once
// The port settings page: which serial port, its baud rate and parity, and the open/close toggle.

#include "page.h"

#include <QStringList>

class QComboBox;
class QLabel;
class QPushButton;
class QScrollArea;

class CDialog_Page1 : public CPage {
    Q_OBJECT
public:
    CDialog_Page1(QWidget* parent, velkor::DeviceLink& link);

    // Lists the ports that can be opened now and selects the first ("刷新"); says below the settings why
    // any other serial device of the machine is not listed.
    void RebuildPortList();
    // Closes the open port, or opens the selected one ("打开"/"关闭").
    void OnOpenClose();
    // The device went away while open: release it and show the closed state, so the user can reopen.
    void OnDeviceLost();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    // Probes every port of the machine: the reasons of those that do not open; the others in `openable`.
    QStringList ProbePorts(QStringList* openable) const;
    void ShowPortState();
    void ShowPortProblems(const QStringList& problems);

    QComboBox* m_portList;
    QComboBox* m_baudList;
    QComboBox* m_parityList;
    QPushButton* m_openClose;
    QPushButton* m_refresh;
    QLabel* m_portNote;          // why devices are missing from the list, one line each; empty when none is
    QScrollArea* m_portNoteArea; // below the settings; scrolls when the reasons need more room than it has
    QStringList m_problems;      // every reason, the shown one first
};
