#include "page.h"

#include "serial/device_link.h"

#include <QMessageBox>

namespace {

// Why a frame did not go out whole, in the window's words.
QString SendFailureText(const velkor::CXSerial::Failure& failure) {
    const QString taken =
        CPage::tr("（%1 字节中设备收下 %2 字节）").arg(failure.length).arg(failure.accepted);
    switch (failure.error) {
    case velkor::PortError::Stalled:
        return CPage::tr("发送失败：设备 %1 秒内没有再收下数据%2")
            .arg(velkor::CXSerial::MAX_WRITE_FAILURES * velkor::CXSerial::WRITE_TIMEOUT_MS / 1000)
            .arg(taken);
    case velkor::PortError::DeviceLost:
        return CPage::tr("发送失败：设备已断开%1").arg(taken);
    case velkor::PortError::Interrupted:
        return CPage::tr("发送失败：程序正在退出%1").arg(taken);
    default:
        return CPage::tr("发送失败：串口写入出错（%1）%2")
            .arg(QString::fromLatin1(velkor::PortErrorText(failure.error)), taken);
    }
}

} // namespace

CPage::CPage(const velkor::resources::DialogTemplate& dialog, QWidget* parent, velkor::DeviceLink* link)
    : QWidget(parent), m_dialog(dialog, this), m_link(link) {
    hide();
}

void CPage::SetStatus(const QString& text) const {
    if (m_statusWriter) {
        m_statusWriter(text, QString());
    }
}

bool CPage::SendFrame(const std::vector<uint8_t>& frame) const {
    if (m_link->Send(frame)) {
        return true;
    }
    const velkor::CXSerial::Failure failure = m_link->LastFailure();
    if (failure.error == velkor::PortError::NotOpen) {
        return true;
    }
    if (m_statusWriter) {
        m_statusWriter(QStringLiteral("Failed!"), SendFailureText(failure));
    }
    return false;
}

QString CPage::SendFailure() const {
    const velkor::CXSerial::Failure failure = m_link->LastFailure();
    return failure.error == velkor::PortError::NotOpen ? tr("串口未打开") : SendFailureText(failure);
}

void CPage::ShowMessage(const QString& text, const QString& caption) {
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, this);
    box.exec();
}
