#include "dialog_page1.h"

#include "serial/device_link.h"
#include "serial/port_diagnosis.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>

using velkor::PortError;

using velkor::resources::PortSettingsIds;

namespace {

// Why `port` does not open, in the window's words, from the reason the engine gave.
QString PortProblem(const std::string& port, PortError error) {
    const QString name = QString::fromStdString(port);
    switch (error) {
    case PortError::Permission: {
        const QString group = QString::fromStdString(velkor::DeviceGroup(port));
        if (group.isEmpty() || group == QLatin1String("root")) {
            return CDialog_Page1::tr("%1 无法打开：没有权限").arg(name);
        }
        return CDialog_Page1::tr(
                   "%1 无法打开：没有权限（设备属于 %2 组，请执行 sudo usermod -aG %2 $USER 后重新登录）")
            .arg(name, group);
    }
    case PortError::Busy: {
        std::vector<velkor::PortHolder> holders = velkor::PortHolders(port);
        if (holders.empty()) {
            return CDialog_Page1::tr("%1 无法打开：被其他程序占用").arg(name);
        }
        return CDialog_Page1::tr("%1 无法打开：被 %2（PID %3）占用")
            .arg(name, QString::fromStdString(holders.front().program))
            .arg(holders.front().pid);
    }
    case PortError::NotFound:
        return CDialog_Page1::tr("%1 已不存在").arg(name);
    case PortError::NotSerial:
        return CDialog_Page1::tr("%1 不是串口").arg(name);
    case PortError::Unsupported:
        return CDialog_Page1::tr("%1 不支持所选的波特率或效验").arg(name);
    case PortError::DeviceLost:
        return CDialog_Page1::tr("%1 已断开").arg(name);
    default:
        return CDialog_Page1::tr("%1 无法打开").arg(name);
    }
}

} // namespace

CDialog_Page1::CDialog_Page1(QWidget* parent, velkor::DeviceLink& link)
    : CPage(velkor::resources::PortSettingsTemplate(), parent, &link),
      m_portList(Get<QComboBox>(PortSettingsIds::Port)), m_baudList(Get<QComboBox>(PortSettingsIds::Baud)),
      m_parityList(Get<QComboBox>(PortSettingsIds::Parity)),
      m_openClose(Get<QPushButton>(PortSettingsIds::OpenClose)),
      m_refresh(Get<QPushButton>(PortSettingsIds::Refresh)), m_portNote(new QLabel),
      m_portNoteArea(new QScrollArea(this)) {
    // Below the group box, where the template leaves room (placed in resizeEvent, once the page has its
    // size): why a device of this machine is not listed. Every reason is shown whole, wrapped to the
    // page's width; when they are more than the room below the settings, the room scrolls.
    m_portNoteArea->setFrameShape(QFrame::NoFrame);
    m_portNoteArea->setWidgetResizable(true);
    m_portNoteArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_portNoteArea->viewport()->setAutoFillBackground(false);
    m_portNoteArea->setWidget(m_portNote);
    m_portNote->setAutoFillBackground(false);
    m_portNote->setWordWrap(true);
    m_portNote->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_portNote->setObjectName(QStringLiteral("portNote"));
    m_portNote->setAccessibleName(tr("串口说明"));
    m_baudList->setCurrentIndex(m_baudList->findText(QString::number(velkor::DEFAULT_BAUD_RATE)));
    m_parityList->setCurrentIndex(0);
    connect(m_openClose, &QPushButton::clicked, this, &CDialog_Page1::OnOpenClose);
    connect(m_refresh, &QPushButton::clicked, this, &CDialog_Page1::RebuildPortList);
    RebuildPortList();
}

void CDialog_Page1::resizeEvent(QResizeEvent* event) {
    CPage::resizeEvent(event);
    if (auto* box = findChild<QGroupBox*>()) {
        const int gap = fontMetrics().height() / 4;
        QRect area(box->x(), box->geometry().bottom() + gap, width() - box->x() - gap, 0);
        area.setBottom(height() - gap);
        m_portNoteArea->setGeometry(area);
    }
}

QStringList CDialog_Page1::ProbePorts(QStringList* openable) const {
    QStringList problems;
    for (const std::string& port : velkor::EnumeratePorts()) {
        PortError error = PortError::None;
        if (velkor::DeviceLink::Probe(port, &error)) {
            if (openable != nullptr) {
                *openable << QString::fromStdString(port);
            }
        } else {
            problems << PortProblem(port, error);
        }
    }
    return problems;
}

void CDialog_Page1::RebuildPortList() {
    m_portList->clear();
    QStringList openable;
    QStringList problems = ProbePorts(&openable);
    for (const QString& path : openable) {
        m_portList->addItem(path);
        m_portList->setItemData(m_portList->count() - 1, path, Qt::ToolTipRole);
    }
    m_portList->setCurrentIndex(m_portList->count() > 0 ? 0 : -1);
    m_portList->setToolTip(m_portList->currentText());
    ShowPortProblems(problems);
}

void CDialog_Page1::ShowPortProblems(const QStringList& problems) {
    m_problems = problems;
    // Every reason on a line of its own, the newest first; the same text for the tooltip and for a screen
    // reader.
    const QString all = problems.join(QLatin1Char('\n'));
    m_portNote->setText(all);
    m_portNote->setToolTip(all);
    m_portNote->setAccessibleDescription(all);
    m_portList->setAccessibleDescription(all);
    if (!problems.isEmpty()) {
        m_portList->setToolTip(
            m_portList->currentText().isEmpty() ? all : m_portList->currentText() + QLatin1Char('\n') + all);
    }
}

void CDialog_Page1::OnOpenClose() {
    if (Link().IsOpen()) {
        Link().Close();
    } else {
        if (m_portList->currentIndex() < 0) {
            return;
        }
        std::string port = m_portList->currentText().toStdString();
        int baudRate = m_baudList->currentText().toInt();
        velkor::Parity parity =
            velkor::ParityFromIndex(m_parityList->currentIndex()).value_or(velkor::Parity::None);
        if (!Link().Open(port, baudRate, parity)) {
            // The list stays as it was; the line below it says why this port did not open (another program
            // may have taken it since the listing, or it refuses the settings), and what else is amiss now.
            const QString reason = PortProblem(port, Link().LastFailure().error);
            QStringList problems = ProbePorts(nullptr);
            problems.removeAll(reason);
            problems.prepend(reason);
            ShowPortProblems(problems);
        }
    }
    ShowPortState();
}

void CDialog_Page1::OnDeviceLost() {
    Link().Close();
    ShowPortState();
}

void CDialog_Page1::ShowPortState() {
    bool open = Link().IsOpen();
    m_openClose->setText(open ? tr("关闭") : tr("打开"));
    m_openClose->setAccessibleName(m_openClose->text());
    m_portList->setEnabled(!open);
    m_baudList->setEnabled(!open);
    m_parityList->setEnabled(!open);
    m_refresh->setEnabled(!open);
}
