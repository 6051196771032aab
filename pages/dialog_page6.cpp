#include "dialog_page6.h"

#include "frames/local_time.h"
#include "frames/module_frame.h"
#include "resources/module_answer_texts.h"
#include "serial/cxserial.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <ctime>

using velkor::resources::ModuleIds;

namespace {

std::u16string Text(const QLineEdit* edit) {
    return edit->text().toStdU16String();
}

// A position outside the list leaves it without a selection.
void SelectPosition(QComboBox* list, int position) {
    list->setCurrentIndex(position < list->count() ? position : -1);
}

// The typing limit of an edit, as the template gives it.
const char* const kTypingLimit = "typingLimit";

// Text put by the program is shown whole, even past the limit the user types against; the user can then
// delete but not add, until the text is within the limit again.
void ShowText(QLineEdit* edit, const QString& text) {
    const int limit = edit->property(kTypingLimit).toInt();
    edit->setMaxLength(std::max(limit, static_cast<int>(text.size())));
    edit->setText(text);
}

// Keeps the user's typing within the template's limit once a longer read-back has been shown.
void KeepTypingLimit(QLineEdit* edit) {
    edit->setProperty(kTypingLimit, edit->maxLength());
    QObject::connect(edit, &QLineEdit::textEdited, edit, [edit](const QString& text) {
        edit->setMaxLength(std::max(edit->property(kTypingLimit).toInt(), static_cast<int>(text.size())));
    });
}

} // namespace

CDialog_Page6::CDialog_Page6(QWidget* parent, velkor::DeviceLink& link)
    : CPage(velkor::resources::ModuleTemplate(), parent, &link),
      m_frequency(Get<QLineEdit>(ModuleIds::Frequency)),
      m_networkAddress(Get<QLineEdit>(ModuleIds::NetworkAddress)),
      m_sleepPeriod(Get<QComboBox>(ModuleIds::SleepPeriod)),
      m_breathingTime(Get<QComboBox>(ModuleIds::BreathingTime)),
      m_transmitPower(Get<QComboBox>(ModuleIds::TransmitPower)),
      m_watchAddress(Get<QLineEdit>(ModuleIds::WatchAddress)) {
    m_frequency->setText(QStringLiteral("434.00"));
    m_networkAddress->setText(QStringLiteral("0"));
    m_sleepPeriod->setCurrentIndex(0);   // "2s"
    m_breathingTime->setCurrentIndex(4); // "32ms"
    m_transmitPower->setCurrentIndex(6); // "Level7"
    for (QLineEdit* edit : {m_frequency, m_networkAddress, m_watchAddress}) {
        KeepTypingLimit(edit);
    }

    connect(Get<QPushButton>(ModuleIds::WriteConfig), &QPushButton::clicked, this,
            &CDialog_Page6::OnWriteConfig);
    connect(Get<QPushButton>(ModuleIds::ReadConfig), &QPushButton::clicked, this,
            &CDialog_Page6::OnReadConfig);
    connect(Get<QPushButton>(ModuleIds::SetTime), &QPushButton::clicked, this, &CDialog_Page6::OnSetTime);
    connect(Get<QPushButton>(ModuleIds::GetTime), &QPushButton::clicked, this, &CDialog_Page6::OnGetTime);
    connect(Get<QPushButton>(ModuleIds::Reset), &QPushButton::clicked, this, &CDialog_Page6::OnReset);
    connect(Get<QPushButton>(ModuleIds::WriteWatchAddress), &QPushButton::clicked, this,
            &CDialog_Page6::OnWriteWatchAddress);
    connect(Get<QPushButton>(ModuleIds::ReadWatchAddress), &QPushButton::clicked, this,
            &CDialog_Page6::OnReadWatchAddress);
}

void CDialog_Page6::SendModuleFrame(uint8_t command, std::span<const uint8_t> payload) {
    std::vector<uint8_t> frame = velkor::BuildModuleFrame(command, payload);
    SetStatus(QStringLiteral("...."));
    SendFrame(frame);
}

void CDialog_Page6::OnWriteConfig() {
    velkor::LoraConfig config = velkor::LoraConfigFromControls(
        Text(m_frequency), ComboSelection(m_sleepPeriod), ComboSelection(m_breathingTime),
        Text(m_networkAddress), ComboSelection(m_transmitPower));
    SendModuleFrame(velkor::MODCMD_WRITE_CONFIG, config.ToBytes());
}

void CDialog_Page6::OnReadConfig() {
    SendModuleFrame(velkor::MODCMD_READ_CONFIG, {});
}

void CDialog_Page6::OnSetTime() {
    std::optional<std::tm> local = velkor::LocalTime(std::time(nullptr));
    SendModuleFrame(velkor::MODCMD_SET_TIME, velkor::ModuleClockData(local.value_or(std::tm{})));
}

void CDialog_Page6::OnGetTime() {
    SendModuleFrame(velkor::MODCMD_GET_TIME, {});
}

void CDialog_Page6::OnReset() {
    SendModuleFrame(velkor::MODCMD_RESET, {});
}

void CDialog_Page6::OnWriteWatchAddress() {
    SendModuleFrame(velkor::MODCMD_WRITE_WATCH_ADDRESS, velkor::WatchAddressData(Text(m_watchAddress)));
}

void CDialog_Page6::OnReadWatchAddress() {
    m_watchAddress->clear();
    SendModuleFrame(velkor::MODCMD_READ_WATCH_ADDRESS, {});
}

void CDialog_Page6::OnFrameReceived(const velkor::ReceivedFrame& frame) {
    velkor::ModuleAnswer answer = velkor::DecodeModuleAnswer(frame.View());
    if (answer.status != velkor::AnswerStatus::Accepted) {
        return; // not a whole module answer: ignored, as an unknown one
    }
    if (answer.watchAddress) {
        ShowText(m_watchAddress, QString::number(*answer.watchAddress));
        SetStatus(QStringLiteral("Successful!"));
        return;
    }
    if (answer.config) {
        ShowText(m_frequency,
                 QString::fromStdString(velkor::ReadBackFrequencyText(answer.config->frequencyWord)));
        SelectPosition(m_sleepPeriod, answer.config->sleepPeriod);
        SelectPosition(m_breathingTime, answer.config->breathingTime);
        ShowText(m_networkAddress,
                 QString::fromStdString(velkor::ReadBackNetworkAddressText(answer.config->networkAddress)));
        SelectPosition(m_transmitPower, answer.config->transmitPower);
    }
    velkor::resources::AnswerNotice notice = velkor::resources::ModuleAnswerNotice(answer);
    QString text = Translated("ModuleAnswer", notice.text);
    for (const std::string& argument : notice.arguments) {
        text = text.arg(QString::fromStdString(argument));
    }
    ShowMessage(text, Translated("ModuleAnswer", notice.caption));
    SetStatus(QStringLiteral("Successful!"));
}
