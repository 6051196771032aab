#include "about_dlg.h"

#include "controls/dialog_builder.h"

#include <QDialogButtonBox>
#include <QPushButton>

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    const auto& dialog = velkor::resources::HelpTemplate();
    auto* content = new QWidget(this);
    BuiltDialog built(dialog, content);
    content->setGeometry(QRect(QPoint(0, 0), built.Size()));
    setFont(content->font());
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    QSize buttonSize = buttons->sizeHint();
    buttons->setGeometry(built.Size().width() - buttonSize.width() - 10, built.Size().height(),
                         buttonSize.width(), buttonSize.height());
    setFixedSize(built.Size().width(), built.Size().height() + buttonSize.height() + 10);
    setWindowTitle(tr("关于 Velkor"));
    buttons->button(QDialogButtonBox::Ok)->setDefault(true);
}
