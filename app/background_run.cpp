#include "app/background_run.h"

#include <algorithm>

void CBackgroundRun::Start(QObject* context, Control control, std::function<Epilogue()> body) {
    Join();
    m_control = std::move(control);
    m_clock.start();
    const unsigned run = ++m_run;
    m_thread = std::thread([this, context, run, body = std::move(body)] {
        Epilogue epilogue = body();
        // Queued calls to one object run in posting order: after every line the run posted.
        // Dropped if the context goes first.
        QMetaObject::invokeMethod(
            context,
            [this, run, epilogue = std::move(epilogue)] {
                // A run stopped by Join has been joined already; its end means nothing now.
                if (run != m_run || !m_thread.joinable())
                    return;
                m_thread.join();  // it has nothing left to do but return
                m_control = {};
                if (epilogue)
                    epilogue();
            },
            Qt::QueuedConnection);
    });
}

bool CBackgroundRun::Join() {
    if (!m_thread.joinable())
        return false;
    if (m_control.stop)
        m_control.stop();
    m_thread.join();
    m_control = {};
    return true;
}

std::pair<int, int> CBackgroundRun::ProgressSeconds() const {
    StunRunProgress progress;
    if (m_control.progress) {
        progress = m_control.progress();
    } else {
        progress.elapsedMs = static_cast<std::uint64_t>(m_clock.elapsed());
        progress.leftMs =
            m_control.boundMs > progress.elapsedMs ? m_control.boundMs - progress.elapsedMs : 0;
    }
    const int elapsed = static_cast<int>(progress.elapsedMs / 1000);
    const int end = static_cast<int>((progress.elapsedMs + progress.leftMs + 999) / 1000);
    return {elapsed, std::max(end, elapsed + 1)};
}
