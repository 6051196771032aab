#include "page.h"

#include <QMessageBox>

CPage::CPage(const velkor::resources::DialogTemplate& dialog, QWidget* parent)
    : QWidget(parent), m_dialog(dialog, this) {
    hide();
}

void CPage::SetStatus(const QString& text) const {
    if (m_statusWriter) {
        m_statusWriter(text);
    }
}

void CPage::ShowMessage(const QString& text, const QString& caption) {
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, this);
    box.exec();
}
