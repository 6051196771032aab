#pragma once
// The dialog layouts as data: every control of every window, with its id, kind, caption or items and its
// rectangle in dialog units. One builder (controls/dialog_builder) turns a template into widgets; the
// pages find their controls by id. No toolkit types here.

#include "frames/version.h"
#include "resources/control_ids.h"
#include "resources/translatable.h"

#include <string_view>
#include <vector>

namespace velkor::resources {

enum class ControlKind {
    GroupBox,
    Label,
    Edit,
    ComboBox, // drop-down list; with STYLE_DROPDOWN a drop-down combo box that takes typed text
    Button,
    CheckBox,
    IpAddress, // four fields of 0 to 255
    RichEdit,  // multi-line text with a vertical scroll bar kept visible
    Icon,
    ListView, // the navigation list
    Caption,  // the caption bar
    Frame,    // an etched frame
};

// Styles a control can carry.
enum ControlStyle : unsigned {
    STYLE_NONE = 0,
    STYLE_READ_ONLY = 1U << 0,
    STYLE_DIGITS_ONLY = 1U << 1,
    STYLE_DISABLED = 1U << 2,
    STYLE_DROPDOWN = 1U << 3, // a combo box whose edit takes typed text (otherwise a drop-down list)
};

struct ControlTemplate {
    int id; // 0 for controls nobody looks up (group boxes, labels)
    ControlKind kind;
    std::string_view text;   // caption; for combo boxes the items separated by '|'; for icons the icon id
    int x, y, width, height; // dialog units
    unsigned style = STYLE_NONE;
    int textLimit = 0;          // characters an edit takes; 0 for no limit
    std::string_view name = {}; // accessible name where the caption does not give one
    // The rectangle when the window speaks a language whose texts need more room than the Chinese (all
    // zero: the same as above).
    struct {
        int x = 0, y = 0, width = 0, height = 0;
    } wide = {};
};

struct DialogTemplate {
    int id;
    int width, height; // dialog units
    int pointSize;     // of the dialog font ("MS Shell Dlg")
    std::vector<ControlTemplate> controls;
    // The translation context of the captions, items and names (all marked with VELKOR_TR_NOOP).
    const char* context = "";

    const ControlTemplate* Find(int controlId) const;
};

const DialogTemplate& MainWindowTemplate();   // 102
const DialogTemplate& PortSettingsTemplate(); // 133
const DialogTemplate& WirelessTemplate();     // 134
const DialogTemplate& TextMessageTemplate();  // 135
const DialogTemplate& ModuleTemplate();       // 137
const DialogTemplate& HelpTemplate();         // 100: the help page and the About box

// String table entry 101: the About entry.
inline constexpr const char* IDS_ABOUTBOX = VELKOR_TR_NOOP("MainWindow", "关于 Velkor(&A)...");

// The window's title; "%1" is the version (VELKOR_VERSION).
inline constexpr const char* APP_TITLE =
    VELKOR_TR_NOOP("MainWindow", "无线手表参数配置及信息发送工具-Zelt适用 V%1");

} // namespace velkor::resources
