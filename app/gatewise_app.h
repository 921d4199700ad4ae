#pragma once
// The application object: builds the document, the main frame and its view, opens a file named on
// the command line as the log's initial text and shows the window. Needs a QApplication; runs on
// its thread.

#include <QStringList>
#include <memory>

#include "app/gatewise_doc.h"
#include "app/main_frame.h"

// Not copyable (it owns the document and the frame).
class CGatewiseApp {
public:
    CGatewiseApp();
    ~CGatewiseApp();

    // args: the command line without the program name. False when a named file cannot be opened;
    // the application then ends. show = false leaves the window hidden (tests).
    bool InitInstance(const QStringList& args, bool show = true);

    CMainFrame* MainFrame() const { return m_frame.get(); }
    CGatewiseDoc* Document() const { return m_doc.get(); }
    CGatewiseView* View() const;

private:
    std::unique_ptr<CGatewiseDoc> m_doc;
    std::unique_ptr<CMainFrame> m_frame;  // after m_doc: the frame (and its view) goes first
};
