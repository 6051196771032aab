#include "ip_address_ctrl.h"

#include "digits_validator.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>

CIPAddressCtrl::CIPAddressCtrl(QWidget* parent) : QFrame(parent) {
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Sunken);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
    auto* validator = new DigitsValidator(this);
    for (int i = 0; i < 4; ++i) {
        auto* field = new QLineEdit(this);
        field->setFrame(false);
        field->setAlignment(Qt::AlignCenter);
        field->setMaxLength(3);
        field->setValidator(validator);
        field->setText(QStringLiteral("0"));
        field->setAccessibleName(tr("第%1段").arg(i + 1));
        field->installEventFilter(this);
        connect(field, &QLineEdit::textEdited, this, [this, i] { OnFieldEdited(i); });
        m_fields[static_cast<std::size_t>(i)] = field;
        if (i < 3) {
            auto* dot = new QLabel(QStringLiteral("."), this);
            dot->setAlignment(Qt::AlignCenter);
            m_dots[static_cast<std::size_t>(i)] = dot;
        }
    }
}

uint32_t CIPAddressCtrl::GetAddress() const {
    uint32_t address = 0;
    for (QLineEdit* field : m_fields) {
        address = (address << 8) | static_cast<uint32_t>(std::min(field->text().toInt(), 255));
    }
    return address;
}

void CIPAddressCtrl::SetAddress(uint32_t address) {
    for (int i = 0; i < 4; ++i) {
        m_fields[static_cast<std::size_t>(i)]->setText(QString::number((address >> (24 - 8 * i)) & 0xFF));
    }
}

void CIPAddressCtrl::OnFieldEdited(int index) {
    QLineEdit* field = m_fields[static_cast<std::size_t>(index)];
    // A number above 255 is brought back into range, as the platform control does.
    if (field->text().toInt() > 255) {
        field->setText(QStringLiteral("255"));
    }
    if (field->text().size() == 3 && index < 3) {
        QLineEdit* next = m_fields[static_cast<std::size_t>(index) + 1];
        next->setFocus();
        next->selectAll();
    }
}

bool CIPAddressCtrl::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        for (std::size_t i = 0; i < 3; ++i) {
            if (watched == m_fields[i] && (key->key() == Qt::Key_Period || key->key() == Qt::Key_Space)) {
                m_fields[i + 1]->setFocus();
                m_fields[i + 1]->selectAll();
                return true;
            }
        }
    }
    return QFrame::eventFilter(watched, event);
}

void CIPAddressCtrl::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    QRect inner = contentsRect();
    int dotWidth = fontMetrics().horizontalAdvance(QLatin1Char('.')) + 2;
    int fieldWidth = (inner.width() - 3 * dotWidth) / 4;
    int x = inner.left();
    for (int i = 0; i < 4; ++i) {
        m_fields[static_cast<std::size_t>(i)]->setGeometry(x, inner.top(), fieldWidth, inner.height());
        x += fieldWidth;
        if (i < 3) {
            m_dots[static_cast<std::size_t>(i)]->setGeometry(x, inner.top(), dotWidth, inner.height());
            x += dotWidth;
        }
    }
}
