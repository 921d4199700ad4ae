#include "app/message_box.h"

#include <QMessageBox>

#include "app/command_ids.h"
#include "app/template_dialog.h"

namespace {
std::function<void(const QString&)>& Hook() {
    static std::function<void(const QString&)> hook;
    return hook;
}
}  // namespace

void AppMessageBox(QWidget* parent, const QString& text) {
    if (Hook()) {
        Hook()(text);
        return;
    }
    QMessageBox box(QMessageBox::Warning, QString::fromLatin1(kAppTitle), text, QMessageBox::Ok,
                    parent);
    UseDialogTitleBar(box);
    box.exec();
}

void SetAppMessageHook(std::function<void(const QString&)> hook) {
    Hook() = std::move(hook);
}
