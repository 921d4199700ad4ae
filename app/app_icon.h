#pragma once
// The application icon (resource 128), shared by the windows and the dialogs.

#include <QIcon>

QIcon AppIcon();
