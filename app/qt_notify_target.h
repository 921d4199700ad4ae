#pragma once
// The engine's thread as the network module sees it, in the desktop application: the Qt thread of
// a context object. Post is safe from any thread; the posted work runs on the context's thread,
// in posting order, also inside nested event loops (a modal dialog). Work still queued when the
// context is destroyed is dropped, which the delivery handshake treats as not handled.

#include <QObject>

#include "engine/notify_target.h"

class CQtNotifyTarget : public INotifyTarget {
public:
    explicit CQtNotifyTarget(QObject* context) : m_context(context) {}
    void Post(std::function<void()> fn) override;

private:
    QObject* m_context;  // outlives this object's users: the network module stops first
};
