#pragma once
// The text message page: a text of up to 84 GBK bytes to a watch, by hand or every 5 to 60 seconds.

#include "frames/command_frame.h"
#include "page.h"

class CIPAddressCtrl;
class QCheckBox;
class QComboBox;
class QTextEdit;

class CDialog_Page3 : public CPage {
    Q_OBJECT
public:
    CDialog_Page3(QWidget* parent, velkor::DeviceLink& link);

    // The main window's tick: counts towards the next timed send while "自动" is on.
    void OnTextTick();
    void OnSend();            // "发送", and every timed send
    void OnIntervalChanged(); // a new interval governs from the next tick
    void OnAutoClicked();

    int SendInterval() const { return m_sendInterval; }
    int TickCounter() const { return m_tickCounter; }
    uint8_t SequenceCounter() const { return m_sequenceCounter.Value(); }
    velkor::SequenceCounter& Counter() { return m_sequenceCounter; }

private:
    void LimitText(int position, int added);

    QComboBox* m_intervalList;
    QTextEdit* m_textField;
    QCheckBox* m_autoCheck;
    CIPAddressCtrl* m_address;
    int m_sendInterval = 100; // ticks of 100 ms
    int m_tickCounter = -1;   // -1: timed sending off
    bool m_sending = false;   // a send is under way (its message box may be open)
    velkor::SequenceCounter m_sequenceCounter;
};
