#include "app/qt_notify_target.h"

void CQtNotifyTarget::Post(std::function<void()> fn) {
    QMetaObject::invokeMethod(m_context, std::move(fn), Qt::QueuedConnection);
}
