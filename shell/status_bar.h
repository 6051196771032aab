#pragma once
// The main window's status bar: three sunken parts ending at 150 and 300 pixels and at the window's edge,
// each with an icon and a text.

#include <QLabel>
#include <QWidget>
#include <array>

class StatusBar : public QWidget {
    Q_OBJECT
public:
    static constexpr int PART_COUNT = 3;

    explicit StatusBar(QWidget* parent = nullptr);

    // The part's text; `detail`, when given, is its tooltip and what a screen reader reads beside it (the
    // reason of a failure), otherwise the text itself is.
    void SetText(int part, const QString& text, const QString& detail = {});
    void SetIcon(int part, int iconId, int size);
    QString Text(int part) const;
    QString Detail(int part) const;
    int IconId(int part) const { return m_iconIds[static_cast<std::size_t>(part)]; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    struct Part {
        QWidget* frame = nullptr;
        QLabel* icon = nullptr;
        QLabel* text = nullptr;
    };
    std::array<Part, PART_COUNT> m_parts;
    std::array<int, PART_COUNT> m_iconIds{};
};
