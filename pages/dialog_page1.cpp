#include "dialog_page1.h"

#include "serial/cxserial.h"

#include <QComboBox>
#include <QPushButton>

using velkor::g_portStateNotice;
using velkor::g_serial;

CDialog_Page1::CDialog_Page1(QWidget* parent)
    : CPage(velkor::resources::PortSettingsTemplate(), parent), m_portList(Get<QComboBox>(1011)),
      m_baudList(Get<QComboBox>(1010)), m_parityList(Get<QComboBox>(1009)),
      m_openClose(Get<QPushButton>(1005)), m_refresh(Get<QPushButton>(1006)) {
    m_baudList->setCurrentIndex(3); // 9600
    m_parityList->setCurrentIndex(0);
    connect(m_openClose, &QPushButton::clicked, this, &CDialog_Page1::OnOpenClose);
    connect(m_refresh, &QPushButton::clicked, this, &CDialog_Page1::RebuildPortList);
    RebuildPortList();
}

void CDialog_Page1::RebuildPortList() {
    m_portList->clear();
    for (const std::string& port : velkor::EnumeratePorts()) {
        if (g_serial.ProbePort(port) == 1) {
            QString path = QString::fromStdString(port);
            m_portList->addItem(path);
            m_portList->setItemData(m_portList->count() - 1, path, Qt::ToolTipRole);
        }
    }
    m_portList->setCurrentIndex(m_portList->count() > 0 ? 0 : -1);
    m_portList->setToolTip(m_portList->currentText());
}

void CDialog_Page1::OnOpenClose() {
    if (g_serial.IsOpen()) {
        g_serial.Close();
    } else {
        if (m_portList->currentIndex() < 0) {
            return;
        }
        std::string port = m_portList->currentText().toStdString();
        int baudRate = m_baudList->currentText().toInt();
        int parity = m_parityList->currentIndex();
        g_serial.Open(port, baudRate, parity);
    }
    ShowPortState();
}

void CDialog_Page1::OnDeviceLost() {
    g_serial.Close();
    ShowPortState();
}

void CDialog_Page1::ShowPortState() {
    bool open = g_serial.IsOpen();
    m_openClose->setText(open ? QStringLiteral("关闭") : QStringLiteral("打开"));
    m_openClose->setAccessibleName(m_openClose->text());
    g_portStateNotice = open ? 1 : 2;
    m_portList->setEnabled(!open);
    m_baudList->setEnabled(!open);
    m_parityList->setEnabled(!open);
    m_refresh->setEnabled(!open);
}
