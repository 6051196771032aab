#pragma once
// The wireless configuration page: the watches' time, host address slots and channel, and the
// transmitter's channel. Nothing typed here is validated: the lenient readings of the core decide.

#include "frames/command_frame.h"
#include "page.h"

#include <vector>

class CIPAddressCtrl;
class QComboBox;
class QLineEdit;

class CDialog_Page2 : public CPage {
    Q_OBJECT
public:
    CDialog_Page2(QWidget* parent, velkor::DeviceLink& link);

    // The main window's tick: the clock text and today's weekday, shown or hidden.
    void OnClockTick();

    void OnWriteTime();               // "写入时间": to every watch, sequence 0
    void OnWriteHostAddress();        // "写入地址"
    void OnClearAddress();            // "清空地址": the watch address back to 0.0.0.0, nothing sent
    void OnWriteWatchChannel();       // "写入信道" of the watch
    void OnWriteTransmitterChannel(); // "写入信道" of the transmitter, also "...." in the status bar

    uint8_t SequenceCounter() const { return m_sequenceCounter.Value(); }
    // The counter itself, which the watch list page numbers its frames from too.
    velkor::SequenceCounter& Counter() { return m_sequenceCounter; }

private:
    CIPAddressCtrl* m_watchAddress;
    CIPAddressCtrl* m_hostAddress;
    QLineEdit* m_clockText;
    QComboBox* m_weekday;
    QComboBox* m_addressSlot;
    QLineEdit* m_watchFrequency;
    QLineEdit* m_transmitterFrequency;
    QLineEdit* m_watchNetworkId;
    QLineEdit* m_transmitterNetworkId;
    velkor::SequenceCounter m_sequenceCounter;
};
