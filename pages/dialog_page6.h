#pragma once
// The module configuration page: the LoRa module on the cable, its settings, watch address and clock.
// Each button sends one module frame; the answers come back through the receive path while this page
// is the one shown.

#include "page.h"
#include "serial/receive_buffer.h"

#include <cstdint>
#include <span>

class QComboBox;
class QLineEdit;

class CDialog_Page6 : public CPage {
    Q_OBJECT
public:
    CDialog_Page6(QWidget* parent, velkor::DeviceLink& link);

    // A frame completed by the receive path while this page is visible.
    void OnFrameReceived(const velkor::ReceivedFrame& frame);

    void OnWriteConfig();       // "写配置"
    void OnReadConfig();        // "读配置"
    void OnSetTime();           // "校准时间": the PC's local clock
    void OnGetTime();           // "获取时间"
    void OnReset();             // "软件复位"
    void OnWriteWatchAddress(); // "写入"
    void OnReadWatchAddress();  // "读取": empties the edit first

private:
    // Frames the command, shows "...." in the status bar, writes it.
    void SendModuleFrame(uint8_t command, std::span<const uint8_t> payload);

    QLineEdit* m_frequency;
    QLineEdit* m_networkAddress;
    QComboBox* m_sleepPeriod;
    QComboBox* m_breathingTime;
    QComboBox* m_transmitPower;
    QLineEdit* m_watchAddress;
};
