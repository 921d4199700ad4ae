#pragma once
// The about box of the Help menu. User-interface thread only.

#include "app/template_dialog.h"

class CAboutDlg : public CTemplateDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
