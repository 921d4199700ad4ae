#include "app/gatewise_app.h"

#include <QCoreApplication>

#include "app/command_ids.h"
#include "app/gatewise_view.h"
#include "gatewise_version.h"

CGatewiseApp::CGatewiseApp() = default;

CGatewiseApp::~CGatewiseApp() = default;

bool CGatewiseApp::InitInstance(const QStringList& args, bool show) {
    // Where the toolkit keeps the program's standard settings, should it keep any.
    QCoreApplication::setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));
    QCoreApplication::setApplicationName(QString::fromLatin1(kAppTitle));
    QCoreApplication::setApplicationVersion(QStringLiteral(GATEWISE_VERSION));

    m_doc = std::make_unique<CGatewiseDoc>();
    m_frame = std::make_unique<CMainFrame>(m_doc.get());

    QString file;
    for (const QString& arg : args) {
        if (!arg.startsWith(QLatin1Char('-'))) {
            file = arg;
            break;
        }
    }
    const bool ok = file.isEmpty() ? m_doc->OnNewDocument() : m_doc->OnOpenDocument(file);
    if (!ok)
        return false;
    if (show)
        m_frame->showNormal();
    return true;
}

CGatewiseView* CGatewiseApp::View() const {
    return m_frame ? m_frame->View() : nullptr;
}
