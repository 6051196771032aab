#include "dialog_page3.h"

#include "controls/ip_address_ctrl.h"
#include "frames/text_encoding.h"
#include "frames/text_message.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QTextCursor>
#include <QTextEdit>

using velkor::resources::TextMessageIds;

namespace {
// "5S" .. "60S" in ticks of 100 ms.
constexpr int kIntervals[] = {50, 100, 200, 300, 600};
} // namespace

CDialog_Page3::CDialog_Page3(QWidget* parent, velkor::DeviceLink& link)
    : CPage(velkor::resources::TextMessageTemplate(), parent, &link),
      m_intervalList(Get<QComboBox>(TextMessageIds::Interval)),
      m_textField(Get<QTextEdit>(TextMessageIds::Text)),
      m_autoCheck(Get<QCheckBox>(TextMessageIds::AutoSend)),
      m_address(Get<CIPAddressCtrl>(TextMessageIds::Address)) {
    // Typed text: not bold, italic or underlined, 28.8 pt, black, in the dialog's face.
    QFont font = m_textField->font();
    font.setPointSizeF(28.8);
    font.setBold(false);
    font.setItalic(false);
    font.setUnderline(false);
    m_textField->document()->setDefaultFont(font);
    QTextCharFormat format;
    format.setFont(font);
    format.setForeground(Qt::black);
    m_textField->setCurrentCharFormat(format);
    m_textField->setTextColor(Qt::black);
    connect(m_textField->document(), &QTextDocument::contentsChange, this,
            [this](int position, int, int added) { LimitText(position, added); });

    m_intervalList->setCurrentIndex(1); // "10S"
    m_address->SetAddress(0xFFFFFFFF);
    m_sendInterval = 100;
    m_tickCounter = -1;

    connect(Get<QPushButton>(TextMessageIds::Send), &QPushButton::clicked, this, &CDialog_Page3::OnSend);
    connect(m_intervalList, &QComboBox::currentIndexChanged, this, &CDialog_Page3::OnIntervalChanged);
    // toggled, not clicked: a screen reader's "toggle" changes the tick without a click, and must start
    // or stop timed sending all the same.
    connect(m_autoCheck, &QCheckBox::toggled, this, &CDialog_Page3::OnAutoClicked);
}

void CDialog_Page3::LimitText(int position, int added) {
    // At most the template's limit of characters: what a typing or a paste adds beyond it is dropped.
    static const int limit = velkor::resources::TextMessageTemplate().Find(TextMessageIds::Text)->textLimit;
    int excess = m_textField->document()->characterCount() - 1 - limit;
    if (excess <= 0 || added <= 0) {
        return;
    }
    int end = position + added;
    int start = std::max(position, end - excess);
    QTextCursor cursor(m_textField->document());
    cursor.setPosition(start);
    cursor.setPosition(end, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}

void CDialog_Page3::OnIntervalChanged() {
    int index = m_intervalList->currentIndex();
    if (index >= 0 && index < static_cast<int>(std::size(kIntervals))) {
        m_sendInterval = kIntervals[index];
    }
}

void CDialog_Page3::OnAutoClicked() {
    m_tickCounter = m_autoCheck->isChecked() ? 0 : -1;
}

void CDialog_Page3::OnTextTick() {
    // While a send's message box is open, timed sending waits: ticks neither count nor pile up boxes.
    if (m_tickCounter < 0 || m_sending) {
        return;
    }
    int counted = m_tickCounter;
    m_tickCounter = counted + 1;
    if (counted >= m_sendInterval) {
        m_tickCounter = 0;
        OnSend();
    }
}

void CDialog_Page3::OnSend() {
    if (m_sending) {
        return;
    }
    m_sending = true;
    velkor::WatchAddress address = velkor::AddressFromValue(m_address->GetAddress());
    std::u16string text = m_textField->toPlainText().toStdU16String();
    velkor::EncodedText encoded;
    try {
        encoded = velkor::EncodeTextMessage(text);
    } catch (const velkor::TextConversionError&) {
        m_sending = false;
        return; // nothing can be sent
    }
    if (encoded.status == velkor::TextStatus::Empty) {
        ShowMessage(tr("发送的文本不能为空!"), AppTitle());
        m_tickCounter = -1; // timed sending stops; the check box keeps its tick
        m_sending = false;
        return;
    }
    if (encoded.status == velkor::TextStatus::TooLong) {
        ShowMessage(tr("发送的文本最大限制42个汉字,超出部分将不被发送."), tr("提示."));
    }
    uint8_t sequence = m_sequenceCounter.Next();
    std::vector<uint8_t> frame = velkor::BuildTextFrame(sequence, address, encoded.bytes);
    SendFrame(frame);
    m_sending = false;
}
