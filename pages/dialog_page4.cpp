#include "dialog_page4.h"

CDialog_Page4::CDialog_Page4(QWidget* parent) : CPage(velkor::resources::HelpTemplate(), parent) {}
