#include "ui_support.h"

#include "pages/dialog_page1.h"
#include "pages/page.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

using velkor::resources::PortSettingsIds;

BoxDismisser::BoxDismisser() {
    // A timer that looks for the modal box again and again while the test runs; it also fires inside the
    // nested event loop of an open box.
    QObject::connect(&m_poll, &QTimer::timeout, [this] { Poll(); });
    m_poll.start(20);
}

BoxDismisser::~BoxDismisser() = default;

void BoxDismisser::Poll() {
    if (m_hold) {
        return;
    }
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        SeenBox seen{box->windowTitle(), box->text(), {}};
        for (QAbstractButton* button : box->buttons()) {
            seen.buttons << button->text();
        }
        m_seen << seen;
        box->buttons().first()->click();
    } else if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        if (auto* buttons = dialog->findChild<QDialogButtonBox*>()) {
            m_seen << SeenBox{dialog->windowTitle(), QString(), {buttons->buttons().first()->text()}};
            buttons->buttons().first()->click();
        }
    }
}

void BoxDismisser::Release() {
    m_hold = false;
}

bool BoxDismisser::WaitFor(int count, int ms) {
    return WaitUntil([&] { return m_seen.size() >= count; }, ms);
}

void Tick(CVelkorDlg& window, int count) {
    for (int i = 0; i < count; ++i) {
        window.OnTimer();
        QCoreApplication::processEvents();
    }
}

bool WaitUntil(const std::function<bool()>& condition, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > ms) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

bool OpenThroughPage(CVelkorDlg& window, const QString& path, int baudIndex, int parityIndex) {
    auto* refresh = window.m_page1->Get<QPushButton>(PortSettingsIds::Refresh);
    refresh->click();
    auto* ports = window.m_page1->Get<QComboBox>(PortSettingsIds::Port);
    int index = ports->findText(path);
    if (index < 0) {
        return false;
    }
    ports->setCurrentIndex(index);
    window.m_page1->Get<QComboBox>(PortSettingsIds::Baud)->setCurrentIndex(baudIndex);
    window.m_page1->Get<QComboBox>(PortSettingsIds::Parity)->setCurrentIndex(parityIndex);
    window.m_page1->Get<QPushButton>(PortSettingsIds::OpenClose)->click();
    return window.Link().IsOpen();
}
