#pragma once
// The result dialog shown when a check ends, and the presenter through which the engine shows it
// and opens the e-mail report. User-interface thread only.

#include <QStringList>
#include <functional>
#include <string>
#include <vector>

#include "app/template_dialog.h"
#include "engine/result_presenter.h"

class CHyperLink;
class QCheckBox;

class CResultDlg : public CTemplateDialog {
    Q_OBJECT
public:
    // Controls 1007 to 1012: the dialog shows at most this many verdict lines.
    static constexpr int kMaxShownLines = 6;

    explicit CResultDlg(QWidget* parent = nullptr);

    CHyperLink* m_webLink = nullptr;
    bool m_sendReport = false;
    std::vector<std::string> m_lines;  // the dialog's own copies, lower-cased when shown

    QCheckBox* ReportBox() const { return m_reportBox; }

public slots:
    void accept() override;

protected:
    // Shows the lines in lower case and ticks "Report result".
    void InitControls() override;

private:
    QCheckBox* m_reportBox = nullptr;
};

// Lower case as the result dialog shows verdicts: only the letters A to Z change.
std::string ToLowerAsciiLetters(std::string text);

class CQtResultPresenter : public IResultPresenter {
public:
    // owner: the window the dialog is centred on and modal to.
    explicit CQtResultPresenter(QWidget* owner) : m_owner(owner) {}

    bool ShowResult(const std::vector<std::string>& lines, bool& sendReport) override;
    void OpenLink(const std::string& url) override;

    // Test and automation seam: runs the filled dialog instead of exec() and returns its result.
    void SetDialogRunner(std::function<int(CResultDlg&)> runner) { m_runner = std::move(runner); }

private:
    QWidget* m_owner;
    std::function<int(CResultDlg&)> m_runner;
};
