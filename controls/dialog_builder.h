#pragma once
// Turns the dialog templates of resources/ into widgets, with dialog units measured in the dialog font as
// the templates' own platform does: a horizontal unit is a quarter of the average width of the 52 Latin
// letters, a vertical unit an eighth of the font's height. So the layout follows the font.

#include "resources/dialog_templates.h"

#include <QFont>
#include <QHash>
#include <QPixmap>
#include <QRect>
#include <QWidget>

// A text of the resources, marked with VELKOR_TR_NOOP in `context`, in the window's language (the Chinese
// source when no translation is installed or it has none for the text).
QString Translated(const char* context, std::string_view text);
// The main window's title, with the version, in the window's language.
QString AppTitle();

// The templates' "MS Shell Dlg" at `pointSize`: an installed CJK sans face.
QFont DialogFont(int pointSize);
// The caption bar's "宋体" 12 px bold: an installed CJK serif (Song/Ming) face.
QFont CaptionFont();

// Makes the program's style the application's: the platform style with narrow combo box arrows and etched
// group boxes. The application calls it before creating windows; building a dialog makes sure of it.
void UseDialogStyle();

// One of the program's icons (ids 127 to 160) at `size` pixels square.
QPixmap LoadIconPixmap(int iconId, int size);

// The selected item of a combo box: for one that takes typed text, the item whose text is typed exactly,
// -1 when the text is no item (the "no selection" of a drop-down combo box).
int ComboSelection(const class QComboBox* combo);

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    QRect ToPixels(int x, int y, int width, int height) const;
    QSize ToPixels(int width, int height) const;

private:
    int m_baseX;
    int m_baseY;
};

// The controls of one template, created as children of a page and found by id.
class BuiltDialog {
public:
    BuiltDialog() = default;
    BuiltDialog(const velkor::resources::DialogTemplate& dialog, QWidget* parent);

    QWidget* Control(int id) const { return m_controls.value(id, nullptr); }
    // The control `id` as a T. A missing id or another kind of control is a programming error: debug and
    // test builds stop there, naming the template, the id and both types; release builds log it and
    // return nullptr.
    template <typename T> T* Get(int id) const {
        QWidget* control = Control(id);
        T* typed = qobject_cast<T*>(control);
        if (typed == nullptr) {
            ReportBadLookup(m_templateId, id, control, T::staticMetaObject.className());
        }
        return typed;
    }
    // The template's size in pixels of its font.
    QSize Size() const { return m_size; }

private:
    static void ReportBadLookup(int templateId, int id, const QWidget* found, const char* wanted);

    int m_templateId = 0;
    QHash<int, QWidget*> m_controls;
    QSize m_size;
};
