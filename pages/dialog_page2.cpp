#include "dialog_page2.h"

#include "controls/ip_address_ctrl.h"
#include "frames/local_time.h"
#include "frames/text_encoding.h"
#include "frames/watch_commands.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <ctime>

using velkor::resources::WirelessIds;

namespace {
std::u16string Text(const QLineEdit* edit) {
    return edit->text().toStdU16String();
}
} // namespace

CDialog_Page2::CDialog_Page2(QWidget* parent, velkor::DeviceLink& link)
    : CPage(velkor::resources::WirelessTemplate(), parent, &link),
      m_watchAddress(Get<CIPAddressCtrl>(WirelessIds::WatchAddress)),
      m_hostAddress(Get<CIPAddressCtrl>(WirelessIds::HostAddress)),
      m_clockText(Get<QLineEdit>(WirelessIds::Clock)), m_weekday(Get<QComboBox>(WirelessIds::Weekday)),
      m_addressSlot(Get<QComboBox>(WirelessIds::AddressSlot)),
      m_watchFrequency(Get<QLineEdit>(WirelessIds::WatchFrequency)),
      m_transmitterFrequency(Get<QLineEdit>(WirelessIds::TransmitterFrequency)),
      m_watchNetworkId(Get<QLineEdit>(WirelessIds::WatchNetworkId)),
      m_transmitterNetworkId(Get<QLineEdit>(WirelessIds::TransmitterNetworkId)) {
    m_watchAddress->SetAddress(0);
    m_hostAddress->SetAddress(0);
    m_watchFrequency->setText(QStringLiteral("434.00"));
    m_transmitterFrequency->setText(QStringLiteral("434.00"));
    m_watchNetworkId->setText(QStringLiteral("0"));
    m_transmitterNetworkId->setText(QStringLiteral("0"));
    m_addressSlot->setCurrentIndex(0);
    m_weekday->setCurrentIndex(0);
    OnClockTick();

    connect(Get<QPushButton>(WirelessIds::WriteTime), &QPushButton::clicked, this,
            &CDialog_Page2::OnWriteTime);
    connect(Get<QPushButton>(WirelessIds::WriteHostAddress), &QPushButton::clicked, this,
            &CDialog_Page2::OnWriteHostAddress);
    connect(Get<QPushButton>(WirelessIds::ClearAddress), &QPushButton::clicked, this,
            &CDialog_Page2::OnClearAddress);
    connect(Get<QPushButton>(WirelessIds::WriteWatchChannel), &QPushButton::clicked, this,
            &CDialog_Page2::OnWriteWatchChannel);
    connect(Get<QPushButton>(WirelessIds::WriteTransmitterChannel), &QPushButton::clicked, this,
            &CDialog_Page2::OnWriteTransmitterChannel);
}

void CDialog_Page2::OnClockTick() {
    std::optional<std::tm> local = velkor::LocalTime(std::time(nullptr));
    if (!local) {
        m_clockText->clear();
        return;
    }
    QString text = QString::fromStdU16String(velkor::FormatClockText(*local));
    if (m_clockText->text() != text) {
        m_clockText->setText(text);
    }
    m_weekday->setCurrentIndex(velkor::WeekdayIndexMondayFirst(*local));
}

void CDialog_Page2::OnWriteTime() {
    try {
        // The time shown at the last refresh, at most one tick old.
        SendFrame(velkor::BuildTimeFrame(Text(m_clockText), m_weekday->currentIndex()));
    } catch (const velkor::TextConversionError&) {
        // Nothing is sent when the text cannot be converted.
    }
}

void CDialog_Page2::OnWriteHostAddress() {
    uint8_t sequence = m_sequenceCounter.Next();
    SendFrame(velkor::BuildHostAddressFrame(sequence, velkor::AddressFromValue(m_watchAddress->GetAddress()),
                                            velkor::AddressFromValue(m_hostAddress->GetAddress()),
                                            ComboSelection(m_addressSlot)));
}

void CDialog_Page2::OnClearAddress() {
    m_watchAddress->SetAddress(0);
}

void CDialog_Page2::OnWriteWatchChannel() {
    uint8_t sequence = m_sequenceCounter.Next();
    SendFrame(
        velkor::BuildChannelFrame(sequence, velkor::AddressFromValue(m_watchAddress->GetAddress()),
                                  velkor::ChannelFromText(Text(m_watchFrequency), Text(m_watchNetworkId))));
}

void CDialog_Page2::OnWriteTransmitterChannel() {
    if (SendFrame(velkor::BuildTransmitterChannelFrame(
            velkor::ChannelFromText(Text(m_transmitterFrequency), Text(m_transmitterNetworkId))))) {
        SetStatus(QStringLiteral("...."));
    }
}
