#pragma once
// A page of the main window: a child panel built from its dialog template. Return and Escape do nothing
// on a page (a plain widget has no default button and nothing to close).

#include "controls/dialog_builder.h"

#include <QWidget>
#include <cstdint>
#include <functional>
#include <vector>

namespace velkor {
class DeviceLink;
}

class CPage : public QWidget {
    Q_OBJECT
public:
    // Writes part 1 of the main window's status bar, the only part pages write: a text, and the reason
    // behind it for its tooltip (empty for none).
    using StatusWriter = std::function<void(const QString& text, const QString& detail)>;

    // `link` is the device link of the pages that talk to the device; the help page has none.
    CPage(const velkor::resources::DialogTemplate& dialog, QWidget* parent,
          velkor::DeviceLink* link = nullptr);

    void SetStatusWriter(StatusWriter writer) { m_statusWriter = std::move(writer); }
    QWidget* Control(int id) const { return m_dialog.Control(id); }
    // The control `id` of this page's template as a T; see BuiltDialog::Get.
    template <typename T> T* Get(int id) const { return m_dialog.Get<T>(id); }

protected:
    void SetStatus(const QString& text) const;
    // Writes `frame` to the program's port. When the open port does not take it whole (the device stalled,
    // went away, or the program is quitting), status part 1 says "Failed!" with the reason as its tooltip,
    // and the result is false. Nothing modal: timed sending must not stack boxes. With no port open
    // nothing is sent and nothing is shown, as before (true).
    bool SendFrame(const std::vector<uint8_t>& frame) const;
    velkor::DeviceLink& Link() const { return *m_link; }
    // Why the last frame did not go out whole, in the window's words.
    QString SendFailure() const;
    // A modal notice owned by this page: the text, an OK button, no icon.
    void ShowMessage(const QString& text, const QString& caption);

private:
    BuiltDialog m_dialog;
    velkor::DeviceLink* m_link;
    StatusWriter m_statusWriter;
};
