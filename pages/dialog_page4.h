#pragma once
// The help page: the program's icon and a line about it, nothing else.

#include "page.h"

class CDialog_Page4 : public CPage {
    Q_OBJECT
public:
    explicit CDialog_Page4(QWidget* parent);
};
