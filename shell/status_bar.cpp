#include "status_bar.h"

#include "controls/dialog_builder.h"

#include <QFrame>
#include <QHBoxLayout>

namespace {
// Right edges of parts 0 and 1; part 2 runs to the window's edge.
constexpr int kPartEdges[] = {150, 300};
const char* const kPartNames[] = {QT_TRANSLATE_NOOP("StatusBar", "端口状态"),
                                  QT_TRANSLATE_NOOP("StatusBar", "收发状态"),
                                  QT_TRANSLATE_NOOP("StatusBar", "时间")};
} // namespace

StatusBar::StatusBar(QWidget* parent) : QWidget(parent) {
    for (std::size_t i = 0; i < m_parts.size(); ++i) {
        auto* frame = new QFrame(this);
        frame->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        auto* layout = new QHBoxLayout(frame);
        layout->setContentsMargins(3, 1, 3, 1);
        layout->setSpacing(4);
        auto* icon = new QLabel(frame);
        auto* text = new QLabel(frame);
        text->setAccessibleName(tr(kPartNames[i]));
        layout->addWidget(icon);
        layout->addWidget(text, 1);
        m_parts[i] = {frame, icon, text};
    }
}

void StatusBar::SetText(int part, const QString& text, const QString& detail) {
    QLabel* label = m_parts[static_cast<std::size_t>(part)].text;
    label->setText(text);
    label->setToolTip(detail);
    label->setAccessibleDescription(detail.isEmpty() ? text : detail);
}

void StatusBar::SetIcon(int part, int iconId, int size) {
    m_iconIds[static_cast<std::size_t>(part)] = iconId;
    m_parts[static_cast<std::size_t>(part)].icon->setPixmap(LoadIconPixmap(iconId, size));
}

QString StatusBar::Text(int part) const {
    return m_parts[static_cast<std::size_t>(part)].text->text();
}

QString StatusBar::Detail(int part) const {
    return m_parts[static_cast<std::size_t>(part)].text->toolTip();
}

void StatusBar::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    int left = 0;
    for (std::size_t i = 0; i < m_parts.size(); ++i) {
        int right = i < std::size(kPartEdges) ? kPartEdges[i] : width();
        m_parts[i].frame->setGeometry(left, 1, right - left - 2, height() - 2);
        left = right;
    }
}
