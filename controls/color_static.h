#pragma once
// The caption bar above the page frame: white bold text on a blue band.

#include <QFont>
#include <QRect>
#include <QWidget>

class CColorStatic : public QWidget {
    Q_OBJECT
public:
    explicit CColorStatic(QWidget* parent = nullptr);

    // Binds the control to its place: the rectangle painted from now on is captured here, once.
    void Bind(const QRect& geometry);
    // The text to paint; repaints with it.
    void SetText(const QString& text);
    QString Text() const { return m_text; }

    static QColor BandColor() { return {123, 156, 235}; }
    static QColor TextColor() { return {255, 255, 255}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QFont m_font;
    QRect m_rect;
    QString m_text;
};
