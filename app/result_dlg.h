#pragma once
// The result dialog shown when a check ends, and the presenter through which the engine shows it
// and opens the e-mail report. User-interface thread only.

#include <QStringList>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/template_dialog.h"
#include "engine/nat_prober.h"
#include "engine/p2p_meaning.h"
#include "engine/result_presenter.h"
#include "net/address_text.h"

class CHyperLink;
class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

// What the result dialog shows behind its "Details" button, below the verdicts.
struct ResultDetails {
    // The block the command-line client prints after its summary (P2pMeaningLines); empty when
    // the presenter was given no check.
    std::vector<std::string> meaning;
    // Server1's report of the first socket's public address; empty when no server answered.
    std::optional<Ipv4Endpoint> publicEndpoint;
    // The NAT maps each destination anew: the address holds for Server1 alone.
    bool endpointForServerOnly = false;
    // Another check's own lines (the port-mapping check's reasons and clean-up), shown after the
    // meaning instead of the public address line, which belongs to the NAT check.
    std::optional<std::vector<std::string>> otherLines;
};

// The details of a finished check; facts as the command-line client gives them (whether the
// mapped address is this computer's own, the example servers), in the application's words.
ResultDetails DetailsOfCheck(const CheckOutcome& outcome, const CheckFacts& facts);
// "Public address and port: a.b.c.d:port", with "(for the server's address only)" after the
// label when endpointForServerOnly, or that it is not known.
std::string PublicEndpointLine(const ResultDetails& details);
// The Details text: the meaning block, a blank line and the public address line (or the other
// check's lines).
std::vector<std::string> DetailsLines(const ResultDetails& details);
// What "Copy result" puts on the clipboard: the verdict lines as logged (upper case), a blank
// line and the Details text; every line ends with "\n".
QString ResultClipboardText(const std::vector<std::string>& lines, const ResultDetails& details);

// Where the result dialog goes with its details open: frame is the window's frame now and
// margins the frame around the client area (global pixels), wanted the client size with the
// whole details, of whose height the details may give up shrinkable (they scroll then). The
// client is cut only as far as the available area's height needs; the frame moves up or left only
// as far as needed to lie inside the area, and never above its top or left of its left edge.
struct DetailsPlacement {
    QRect frame;
    int detailsCut = 0;  // pixels taken from the details' height
};
DetailsPlacement PlaceDetailsDialog(const QRect& frame, const QMargins& margins,
                                    const QSize& wanted, int shrinkable, const QRect& available);

class CResultDlg : public CTemplateDialog {
    Q_OBJECT
public:
    // Controls 1007 to 1012: the dialog shows at most this many verdict lines.
    static constexpr int kMaxShownLines = 6;

    explicit CResultDlg(QWidget* parent = nullptr);

    CHyperLink* m_webLink = nullptr;
    bool m_sendReport = false;
    std::vector<std::string> m_lines;  // the dialog's own copies, lower-cased when shown
    ResultDetails m_details;

    QCheckBox* ReportBox() const { return m_reportBox; }
    QPushButton* DetailsButton() const { return m_detailsButton; }
    QPushButton* CopyButton() const { return m_copyButton; }
    QPlainTextEdit* DetailsView() const { return m_detailsView; }
    bool DetailsShown() const;

    // Shows or hides the details below the template's controls; the dialog grows to hold them,
    // inside its screen's available area (PlaceDetailsDialog). Hidden, it is the template again.
    void ShowDetails(bool show);
    // Before it is shown: the result of another check than the NAT check, under its own title
    // and heading, with no report to offer (the report carries the NAT check's verdicts).
    void SetOtherCheck(const QString& title, const QString& heading);
    // Puts ResultClipboardText on the clipboard.
    void CopyResult();

public slots:
    void accept() override;

protected:
    // Shows the lines in lower case, ticks "Report result" and fills the details (hidden).
    void InitControls() override;

private:
    QCheckBox* m_reportBox = nullptr;
    QPushButton* m_detailsButton = nullptr;
    QPushButton* m_copyButton = nullptr;
    QPlainTextEdit* m_detailsView = nullptr;
    QLabel* m_heading = nullptr;
    bool m_offerReport = true;
    std::vector<std::string> m_loggedLines;  // m_lines before lower-casing, for the clipboard
    QSize m_collapsedSize;                   // the template's size, pixels
};

// Lower case as the result dialog shows verdicts: only the letters A to Z change.
std::string ToLowerAsciiLetters(std::string text);

class CQtResultPresenter : public IResultPresenter {
public:
    // owner: the window the dialog is centred on and modal to.
    explicit CQtResultPresenter(QWidget* owner) : m_owner(owner) {}

    // Shows the dialog without details (no check to take them from).
    bool ShowResult(const std::vector<std::string>& lines, bool& sendReport) override;
    bool ShowResult(const std::vector<std::string>& lines, const ResultDetails& details,
                    bool& sendReport);
    void OpenLink(const std::string& url) override;
    // Another check's result (CResultDlg::SetOtherCheck); its answer offers no report.
    void ShowOtherResult(const QString& title, const QString& heading,
                         const std::vector<std::string>& lines, const ResultDetails& details);

    // Test and automation seam: runs the filled dialog instead of exec() and returns its result.
    void SetDialogRunner(std::function<int(CResultDlg&)> runner) { m_runner = std::move(runner); }

private:
    // Fills dlg and runs it: its result.
    int Exec(CResultDlg& dlg, const std::vector<std::string>& lines,
             const ResultDetails& details) const;

    QWidget* m_owner;
    std::function<int(CResultDlg&)> m_runner;
};
