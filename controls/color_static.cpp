#include "color_static.h"

#include "dialog_builder.h"

#include <QPainter>

CColorStatic::CColorStatic(QWidget* parent) : QWidget(parent), m_font(CaptionFont()) {
    setAccessibleName(Translated(
        "MainWindow",
        velkor::resources::MainWindowTemplate().Find(velkor::resources::MainWindowIds::Caption)->name));
}

void CColorStatic::Bind(const QRect& geometry) {
    setGeometry(geometry);
    m_rect = QRect(QPoint(0, 0), geometry.size());
}

void CColorStatic::SetText(const QString& text) {
    m_text = text;
    setAccessibleDescription(text);
    update();
}

void CColorStatic::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(m_rect, BandColor());
    painter.setFont(m_font);
    painter.setPen(TextColor());
    // One line, vertically centred, shortened in the middle when it does not fit.
    QString shown = QFontMetrics(m_font).elidedText(m_text, Qt::ElideMiddle, m_rect.width());
    painter.drawText(m_rect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, shown);
}
