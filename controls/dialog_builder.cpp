#include "dialog_builder.h"

#include "digits_validator.h"
#include "frames/version.h"
#include "ip_address_ctrl.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QGroupBox>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProxyStyle>
#include <QPushButton>
#include <QResource>
#include <QTextEdit>

#include <algorithm>

using velkor::resources::ControlKind;
using velkor::resources::ControlTemplate;
using velkor::resources::DialogTemplate;

namespace {

QString Utf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The first installed family of a wanted list, and how Qt should find glyphs in it.
struct Face {
    QStringList families;
    QFont::StyleStrategy strategy;

    explicit Face(const QStringList& wanted) {
        static const QStringList kGbkFaces = {QStringLiteral("SimSun"),
                                              QStringLiteral("Microsoft YaHei"),
                                              QStringLiteral("Noto Sans CJK SC"),
                                              QStringLiteral("Source Han Sans SC"),
                                              QStringLiteral("Noto Serif CJK SC"),
                                              QStringLiteral("Source Han Serif SC")};
        const QStringList installed = QFontDatabase::families();
        for (const QString& family : wanted) {
            if (installed.contains(family)) {
                families << family;
            }
        }
        // Neither Chinese nor the Latin captions need OpenType shaping.
        strategy = QFont::PreferNoShaping;
        // These faces draw every character GBK can carry but one (U+2252), and every text of the program.
        // With one installed, Qt need not look for fallback faces for the program's own texts: skipping that
        // search (a fontconfig sort over every installed font, for each face and script) saves much of what
        // the CJK faces add to start-up. Edits, which show what the user types, keep it (see TypingFont).
        if (!families.isEmpty() && kGbkFaces.contains(families.front())) {
            strategy = QFont::StyleStrategy(strategy | QFont::NoFontMerging);
        }
        if (families.isEmpty()) {
            families = wanted; // none installed: fontconfig substitutes
        }
    }

    QFont Font() const {
        QFont font;
        font.setFamilies(families);
        font.setStyleStrategy(strategy);
        return font;
    }
};

// The font of an edit: its parent's, with Qt's search for fallback faces, so that any character typed is
// drawn.
QFont TypingFont(QFont font) {
    font.setStyleStrategy(QFont::StyleStrategy(font.styleStrategy() & ~QFont::NoFontMerging));
    return font;
}

} // namespace

QString Translated(const char* context, std::string_view text) {
    if (text.empty()) {
        return {};
    }
    return QCoreApplication::translate(context, std::string(text).c_str());
}

QString AppTitle() {
    return Translated("MainWindow", velkor::resources::APP_TITLE).arg(QStringLiteral(VELKOR_VERSION));
}

// A Chinese Windows draws "MS Shell Dlg" dialogs and the caption's "宋体" in SimSun, YaHei being its other
// face; elsewhere, and under Wine, the CJK faces a Linux desktop has.
static QStringList Faces(QStringList faces) {
#ifdef Q_OS_WIN
    faces.prepend(QStringLiteral("Microsoft YaHei"));
    faces.prepend(QStringLiteral("SimSun"));
#endif
    return faces;
}

QFont DialogFont(int pointSize) {
    static const Face face(Faces({QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Source Han Sans SC"),
                                  QStringLiteral("WenQuanYi Micro Hei"),
                                  QStringLiteral("Droid Sans Fallback"), QStringLiteral("AR PL UMing CN")}));
    QFont font = face.Font();
    font.setPointSize(pointSize);
    return font;
}

QFont CaptionFont() {
    static const Face face(Faces({QStringLiteral("Noto Serif CJK SC"), QStringLiteral("Source Han Serif SC"),
                                  QStringLiteral("AR PL UMing CN"), QStringLiteral("AR PL SungtiL GB"),
                                  QStringLiteral("Noto Sans CJK SC")}));
    QFont font = face.Font();
    font.setPixelSize(12);
    font.setBold(true);
    return font;
}

// The icons are compiled into this static library; a static library's resources must be registered.
static void RegisterIcons() {
    Q_INIT_RESOURCE(icons);
}

namespace {

// The icon drawn at `size` by the build, or a null image when that size was not drawn.
QImage DrawnIcon(int iconId, int size) {
    QResource pixels(QStringLiteral(":/icons/%1-%2.argb").arg(iconId).arg(size));
    if (!pixels.isValid() || pixels.size() != qint64{size} * size * 4) {
        return {};
    }
    return QImage(pixels.data(), size, size, QImage::Format_ARGB32_Premultiplied);
}

} // namespace

int ComboSelection(const QComboBox* combo) {
    if (!combo->isEditable()) {
        return combo->currentIndex();
    }
    return combo->findText(combo->currentText(), Qt::MatchFixedString | Qt::MatchCaseSensitive);
}

QPixmap LoadIconPixmap(int iconId, int size) {
    static const bool registered = (RegisterIcons(), true);
    (void)registered;
    QImage exact = DrawnIcon(iconId, size);
    if (!exact.isNull()) {
        return QPixmap::fromImage(exact);
    }
    // Sizes the build did not draw come from the largest drawing.
    QImage largest = DrawnIcon(iconId, 48);
    return largest.isNull() ? QPixmap()
                            : QPixmap::fromImage(
                                  largest.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

DialogUnits::DialogUnits(const QFont& font) {
    QFontMetrics metrics(font);
    int letters =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_baseX = (letters / 26 + 1) / 2;
    m_baseY = metrics.height();
}

QRect DialogUnits::ToPixels(int x, int y, int width, int height) const {
    QPoint topLeft(x * m_baseX / 4, y * m_baseY / 8);
    QPoint bottomRight((x + width) * m_baseX / 4, (y + height) * m_baseY / 8);
    return {topLeft, QSize(bottomRight.x() - topLeft.x(), bottomRight.y() - topLeft.y())};
}

QSize DialogUnits::ToPixels(int width, int height) const {
    return {width * m_baseX / 4, height * m_baseY / 8};
}

namespace {

// The platform style with two changes: combo boxes with a narrow arrow, so the short lists of the templates
// ("Addr10") show their whole text, and etched group boxes.
class DialogStyle : public QProxyStyle {
public:
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl part,
                         const QWidget* widget) const override {
        if (control == CC_ComboBox && (part == SC_ComboBoxArrow || part == SC_ComboBoxEditField)) {
            constexpr int kArrow = 14;
            QRect frame = option->rect;
            if (part == SC_ComboBoxArrow) {
                return {frame.right() - kArrow, frame.top() + 1, kArrow, frame.height() - 2};
            }
            return frame.adjusted(3, 2, -(kArrow + 2), -2);
        }
        if (control == CC_GroupBox && part == SC_GroupBoxLabel) {
            // The title sits a little in from the frame's corner and breaks its top edge.
            constexpr int kTitleIndent = 6;
            return QProxyStyle::subControlRect(control, option, part, widget).translated(kTitleIndent, 0);
        }
        return QProxyStyle::subControlRect(control, option, part, widget);
    }

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override {
        if (element == PE_FrameGroupBox) {
            // An etched rectangle whose top edge runs through the middle of the title, as on the platform
            // the templates come from. (The platform style draws a picture of a frame instead: decoding and
            // stretching it costs more at start-up than all the rest of the first page's frames.)
            QRect frame = option->rect.adjusted(0, option->fontMetrics.height() / 2, 0, 0);
            painter->save();
            painter->setPen(option->palette.color(QPalette::Mid));
            painter->drawRect(frame.adjusted(0, 0, -2, -2));
            painter->setPen(option->palette.color(QPalette::Light));
            painter->drawRect(frame.adjusted(1, 1, -1, -1));
            painter->restore();
            return;
        }
        QProxyStyle::drawPrimitive(element, option, painter, widget);
    }
};

} // namespace

void UseDialogStyle() {
    // Application-wide rather than set on each combo box: a per-widget style makes every box build its
    // drop-down view at once, which start-up does not need.
    if (dynamic_cast<DialogStyle*>(QApplication::style()) == nullptr) {
        QApplication::setStyle(new DialogStyle);
    }
}

namespace {

// True when a caption, item or name of `dialog` is shown translated: the window then takes the controls'
// wide rectangles, made for texts longer than the Chinese.
bool ShownTranslated(const DialogTemplate& dialog) {
    return std::any_of(dialog.controls.begin(), dialog.controls.end(), [&](const ControlTemplate& control) {
        return Translated(dialog.context, control.text) != Utf8(control.text) ||
               Translated(dialog.context, control.name) != Utf8(control.name);
    });
}

QWidget* CreateControl(const ControlTemplate& control, const QString& text, QWidget* parent) {
    switch (control.kind) {
    case ControlKind::GroupBox:
        return new QGroupBox(text, parent);
    case ControlKind::Label:
        return new QLabel(text, parent);
    case ControlKind::Edit: {
        auto* edit = new QLineEdit(parent);
        edit->setFont(TypingFont(parent->font()));
        if (control.textLimit > 0) {
            edit->setMaxLength(control.textLimit);
        }
        if (control.style & velkor::resources::STYLE_DIGITS_ONLY) {
            edit->setValidator(new DigitsValidator(edit));
        }
        edit->setReadOnly((control.style & velkor::resources::STYLE_READ_ONLY) != 0);
        return edit;
    }
    case ControlKind::ComboBox: {
        auto* combo = new QComboBox(parent);
        if (!text.isEmpty()) {
            combo->addItems(text.split(QLatin1Char('|')));
        }
        if ((control.style & velkor::resources::STYLE_DROPDOWN) != 0) {
            // Typed text is only text: it adds no item and is not completed to one; typing an item's
            // text selects that item.
            combo->setEditable(true);
            combo->setInsertPolicy(QComboBox::NoInsert);
            combo->setCompleter(nullptr);
            QObject::connect(combo, &QComboBox::editTextChanged, combo, [combo](const QString& typed) {
                int item = combo->findText(typed, Qt::MatchFixedString | Qt::MatchCaseSensitive);
                if (item >= 0 && item != combo->currentIndex()) {
                    combo->setCurrentIndex(item);
                }
            });
        }
        combo->setCurrentIndex(-1);
        return combo;
    }
    case ControlKind::Button:
        return new QPushButton(text, parent);
    case ControlKind::CheckBox:
        return new QCheckBox(text, parent);
    case ControlKind::IpAddress:
        return new CIPAddressCtrl(parent);
    case ControlKind::RichEdit: {
        auto* edit = new QTextEdit(parent);
        edit->setFont(TypingFont(parent->font()));
        edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        edit->setAcceptRichText(false);
        return edit;
    }
    case ControlKind::Icon: {
        auto* icon = new QLabel(parent);
        icon->setAlignment(Qt::AlignCenter);
        return icon;
    }
    case ControlKind::ListView:
    case ControlKind::Caption:
    case ControlKind::Frame:
        break; // the main window's own: it builds them itself and only reads their rectangles
    }
    qFatal("control %d: a kind that only the main window builds", control.id);
}

} // namespace

void BuiltDialog::ReportBadLookup(int templateId, int id, const QWidget* found, const char* wanted) {
    QByteArray what = found == nullptr ? QByteArray("no such control (a ") + wanted + " was expected)"
                                       : QByteArray(found->metaObject()->className()) + " where a " + wanted +
                                             " was expected";
#ifdef QT_NO_DEBUG
    qCritical("dialog template %d, control %d: %s", templateId, id, what.constData());
#else
    qFatal("dialog template %d, control %d: %s", templateId, id, what.constData());
#endif
}

BuiltDialog::BuiltDialog(const DialogTemplate& dialog, QWidget* parent) : m_templateId(dialog.id) {
    UseDialogStyle();
    QFont font = DialogFont(dialog.pointSize);
    parent->setFont(font);
    DialogUnits units(font);
    m_size = units.ToPixels(dialog.width, dialog.height);
    const bool wide = ShownTranslated(dialog);
    for (const ControlTemplate& control : dialog.controls) {
        QWidget* widget = CreateControl(control, Translated(dialog.context, control.text), parent);
        QRect rect =
            wide && control.wide.width > 0
                ? units.ToPixels(control.wide.x, control.wide.y, control.wide.width, control.wide.height)
                : units.ToPixels(control.x, control.y, control.width, control.height);
        if (control.kind == ControlKind::ComboBox) {
            // A combo box's template height is its drop-down list; the box itself is one line high.
            rect.setHeight(std::max(widget->sizeHint().height(), units.ToPixels(0, 13).height()));
        }
        if (control.kind == ControlKind::Icon) {
            // Square, within the control's rectangle (20 x 20 dialog units are taller than wide).
            static_cast<QLabel*>(widget)->setPixmap(
                LoadIconPixmap(Utf8(control.text).toInt(), std::min(rect.width(), rect.height())));
        }
        if (control.kind == ControlKind::Label && rect.height() >= 2 * QFontMetrics(font).height()) {
            // A label with room for two lines wraps its words from the top, as a static text control does.
            auto* label = static_cast<QLabel*>(widget);
            label->setWordWrap(true);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        }
        widget->setGeometry(rect);
        widget->setEnabled((control.style & velkor::resources::STYLE_DISABLED) == 0);
        const QString name = Translated(dialog.context, control.name);
        if (control.kind == ControlKind::ComboBox) {
            widget->setAccessibleName(name);
        } else if (!name.isEmpty() || !control.text.empty()) {
            widget->setAccessibleName(name.isEmpty() ? Translated(dialog.context, control.text) : name);
        }
        if (control.id != 0) {
            m_controls.insert(control.id, widget);
        }
    }
}
