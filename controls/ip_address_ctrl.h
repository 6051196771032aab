#pragma once
// An IP-address control: four fields of 0 to 255 shown left to right, separated by dots. A blank
// field reads as 0. Typing a dot, or a third digit, moves on to the next field.

#include <QFrame>
#include <array>
#include <cstdint>

class QLabel;
class QLineEdit;

class CIPAddressCtrl : public QFrame {
    Q_OBJECT
public:
    explicit CIPAddressCtrl(QWidget* parent = nullptr);

    // The four fields as one value, leftmost field in the top byte; blank fields count 0.
    uint32_t GetAddress() const;
    // Sets all four fields from one value; every field shows its number, 0 included.
    void SetAddress(uint32_t address);
    QLineEdit* Field(int index) const { return m_fields[static_cast<std::size_t>(index)]; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void OnFieldEdited(int index);

    std::array<QLineEdit*, 4> m_fields{};
    std::array<QLabel*, 3> m_dots{};
};
