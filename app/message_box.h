#pragma once
// The program's error and warning boxes. User-interface thread only.

#include <QString>
#include <functional>

class QWidget;

// Shows text in a modal warning box titled with the application title, or hands it to the hook.
void AppMessageBox(QWidget* parent, const QString& text);

// Test seam: while set, boxes are not shown and the hook receives their text instead.
void SetAppMessageHook(std::function<void(const QString&)> hook);
