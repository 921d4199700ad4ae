#include "app/result_dlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QtEndian>
#include <algorithm>

#include "app/app_icon.h"
#include "app/desktop_link.h"
#include "app/hyperlink.h"
#include "core/settings.h"
#include "engine/p2p_meaning.h"

namespace {
// Template 131: client size in dialog units, font size in points.
constexpr int kTemplateWidth = 281;
constexpr int kTemplateHeight = 135;
constexpr int kFontPoints = 10;
constexpr int kFirstLineId = 1007;
// Tops of lines 1 to 6, in dialog units (their spacing is not even in the template).
constexpr int kLineTops[CResultDlg::kMaxShownLines] = {43, 56, 67, 78, 88, 99};
// The details below the template, in dialog units: the compatibility table's columns line up
// only in a fixed-pitch font, and its 24-column names with "no (a relay is needed)" need about
// 46 characters of it. High enough for a NAT's whole block (about 24 lines once the sentences
// wrap) without scrolling.
constexpr int kDetailsHeight = 215;
// What the details keep on a screen too low for the whole dialog: a few lines, and they scroll.
constexpr int kDetailsLeastHeight = 60;
constexpr int kDetailsFontPoints = 9;

QString Latin1(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}
}  // namespace

ResultDetails DetailsOfCheck(const CheckOutcome& outcome, const CheckFacts& facts) {
    ResultDetails details;
    const P2pMeaning meaning = MeaningOfCheck(outcome, facts);
    details.meaning = P2pMeaningLines(meaning);
    details.endpointForServerOnly = meaning.mappingEndpointIndependent == false;
    // The outcome keeps the port as it came off the wire; a port of 0 means no reply.
    if (outcome.mappedPort != 0)
        details.publicEndpoint = Ipv4Endpoint{outcome.mappedIp, qFromBigEndian(outcome.mappedPort)};
    return details;
}

std::string PublicEndpointLine(const ResultDetails& details) {
    if (!details.publicEndpoint)
        return "Public address and port: not known (no server reported it)";
    return std::string("Public address and port") +
           (details.endpointForServerOnly ? " (for the server's address only)" : "") + ": " +
           FormatIpv4Endpoint(*details.publicEndpoint);
}

DetailsPlacement PlaceDetailsDialog(const QRect& frame, const QMargins& margins,
                                    const QSize& wanted, int shrinkable, const QRect& available) {
    const QSize decoration(margins.left() + margins.right(), margins.top() + margins.bottom());
    const int over = wanted.height() + decoration.height() - available.height();
    const int cut = std::clamp(over, 0, std::max(shrinkable, 0));
    const QSize size = QSize(wanted.width(), wanted.height() - cut) + decoration;
    // Right and bottom first, so that a frame larger than the area keeps its top left in it.
    const int x =
        std::max(available.left(),
                 std::min(frame.left(), available.left() + available.width() - size.width()));
    const int y =
        std::max(available.top(),
                 std::min(frame.top(), available.top() + available.height() - size.height()));
    return {QRect(QPoint(x, y), size), cut};
}

std::vector<std::string> DetailsLines(const ResultDetails& details) {
    std::vector<std::string> lines = details.meaning;
    const std::vector<std::string> after =
        details.otherLines ? *details.otherLines : std::vector{PublicEndpointLine(details)};
    if (!lines.empty() && !after.empty())
        lines.emplace_back();
    lines.insert(lines.end(), after.begin(), after.end());
    return lines;
}

QString ResultClipboardText(const std::vector<std::string>& lines, const ResultDetails& details) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    text += "\n";
    for (const std::string& line : DetailsLines(details))
        text += line + "\n";
    return Latin1(text);
}

std::string ToLowerAsciiLetters(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

CResultDlg::CResultDlg(QWidget* parent)
    : CTemplateDialog(parent, QStringLiteral("NAT"), DialogFont(kFontPoints), kTemplateWidth,
                      kTemplateHeight) {
    Place(new QLabel(QStringLiteral("Tarnwick On WEB:"), this), -1, 7, 7, 75, 8);
    m_webLink =
        Place(new CHyperLink(QString::fromLatin1(kMakerWebPage), this), 1013, 92, 7, 64 + 40, 8);
    auto* icon = Place(new QLabel(this), -1, 7, 27, 20, 20);
    icon->setPixmap(AppIcon().pixmap(icon->size()));
    m_heading =
        Place(new QLabel(QStringLiteral("NAT analyse finish:"), this), -1, 43, 29, 59 + 20, 8);
    for (int i = 0; i < kMaxShownLines; ++i) {
        auto* line = Place(new QLabel(QString::number(i + 1), this), kFirstLineId + i, 48,
                           kLineTops[i], 226, 8);
        line->setTextFormat(Qt::PlainText);
        line->hide();
    }
    // Static texts get half a line more than their template box so other fonts' descenders fit.
    for (QLabel* label : findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
        if (label->pixmap().isNull())
            label->resize(label->width(), label->height() * 3 / 2);
    }
    auto* ok = Place(new QPushButton(QStringLiteral("OK"), this), 1, 164, 114, 50, 14);
    ok->setDefault(true);
    auto* cancel = Place(new QPushButton(QStringLiteral("Cancel"), this), 2, 224, 114, 50, 14);
    m_reportBox =
        Place(new QCheckBox(QStringLiteral("Report result"), this), 1014, 90, 118, 54, 10);
    m_reportBox->resize(m_reportBox->sizeHint().width(), m_reportBox->height());
    m_reportBox->move(ok->x() - m_reportBox->width() - AvgCharWidth(), m_reportBox->y());
    connect(ok, &QPushButton::clicked, this, &CResultDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &CResultDlg::reject);

    // Left of the report box, on the buttons' row: the template's controls stay where they are.
    m_detailsButton = Place(new QPushButton(QStringLiteral("Details"), this), -1, 7, 114, 40, 14);
    m_detailsButton->setObjectName(QStringLiteral("detailsButton"));
    m_detailsButton->setCheckable(true);
    m_detailsButton->setAutoDefault(false);
    m_copyButton = Place(new QPushButton(QStringLiteral("Copy result"), this), -1, 51, 114, 50, 14);
    m_copyButton->setObjectName(QStringLiteral("copyButton"));
    m_copyButton->setAutoDefault(false);
    m_detailsView = Place(new QPlainTextEdit(this), -1, 7, kTemplateHeight, kTemplateWidth - 14,
                          kDetailsHeight);
    m_detailsView->setObjectName(QStringLiteral("detailsView"));
    m_detailsView->setReadOnly(true);
    m_detailsView->setTabChangesFocus(true);
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPointSize(kDetailsFontPoints);
    m_detailsView->setFont(fixed);
    m_detailsView->hide();
    m_collapsedSize = size();
    // Tab goes as the eye does: the buttons' row from the left, then the details below it.
    setTabOrder(m_detailsButton, m_copyButton);
    setTabOrder(m_copyButton, m_reportBox);
    setTabOrder(m_reportBox, ok);
    setTabOrder(ok, cancel);
    setTabOrder(cancel, m_detailsView);
    connect(m_detailsButton, &QPushButton::toggled, this, &CResultDlg::ShowDetails);
    connect(m_copyButton, &QPushButton::clicked, this, &CResultDlg::CopyResult);
}

bool CResultDlg::DetailsShown() const {
    return !m_detailsView->isHidden();
}

void CResultDlg::ShowDetails(bool show) {
    const QSignalBlocker quiet(m_detailsButton);
    m_detailsButton->setChecked(show);
    m_detailsView->setVisible(show);
    if (!show) {
        setFixedSize(m_collapsedSize);
        return;
    }
    const int details = DluToPixels(0, 0, 0, kDetailsHeight).height();
    const int below = DluToPixels(0, 0, 0, kDetailsHeight + 7).height();
    const int least = DluToPixels(0, 0, 0, kDetailsLeastHeight).height();
    // Before the first show the frame is not known yet (no margins, no place): showing centres
    // the dialog on its owner inside the screen, so only the height counts then.
    const QRect frame = frameGeometry();
    const QRect client = geometry();
    const QMargins margins(client.left() - frame.left(), client.top() - frame.top(),
                           frame.right() - client.right(), frame.bottom() - client.bottom());
    const QSize wanted(m_collapsedSize.width(), m_collapsedSize.height() + below);
    const DetailsPlacement place =
        PlaceDetailsDialog(frame, margins, wanted, details - least, screen()->availableGeometry());
    m_detailsView->resize(m_detailsView->width(), details - place.detailsCut);
    setFixedSize(wanted.width(), wanted.height() - place.detailsCut);
    if (isVisible())
        move(place.frame.topLeft());
}

void CResultDlg::SetOtherCheck(const QString& title, const QString& heading) {
    setWindowTitle(title);
    m_heading->setText(heading);
    m_heading->resize(m_heading->sizeHint().width(), m_heading->height());
    m_offerReport = false;
    m_reportBox->hide();
}

void CResultDlg::CopyResult() {
    QApplication::clipboard()->setText(ResultClipboardText(m_loggedLines, m_details));
}

void CResultDlg::InitControls() {
    m_loggedLines = m_lines;
    QString details;
    for (const std::string& line : DetailsLines(m_details))
        details += Latin1(line) + QLatin1Char('\n');
    details.chop(1);
    m_detailsView->setPlainText(details);
    for (std::size_t i = 0; i < m_lines.size() && i < kMaxShownLines; ++i) {
        QWidget* control = GetDlgItem(kFirstLineId + static_cast<int>(i));
        if (control == nullptr)
            continue;
        control->show();
        m_lines[i] = ToLowerAsciiLetters(std::move(m_lines[i]));
        auto* label = static_cast<QLabel*>(control);
        label->setText(QString::fromLatin1(m_lines[i].c_str()));
        // Another check's lines may be longer than the template's; the whole line on hover.
        if (!m_offerReport && label->sizeHint().width() > label->width())
            label->setToolTip(label->text());
    }
    m_sendReport = m_offerReport;
    m_reportBox->setChecked(m_sendReport);
}

void CResultDlg::accept() {
    m_sendReport = m_offerReport && m_reportBox->isChecked();
    CTemplateDialog::accept();
}

bool CQtResultPresenter::ShowResult(const std::vector<std::string>& lines, bool& sendReport) {
    return ShowResult(lines, ResultDetails{}, sendReport);
}

bool CQtResultPresenter::ShowResult(const std::vector<std::string>& lines,
                                    const ResultDetails& details, bool& sendReport) {
    CResultDlg dlg(m_owner != nullptr ? m_owner->window() : nullptr);
    const bool ok = Exec(dlg, lines, details) == QDialog::Accepted;
    sendReport = ok && dlg.m_sendReport;
    return ok;
}

void CQtResultPresenter::ShowOtherResult(const QString& title, const QString& heading,
                                         const std::vector<std::string>& lines,
                                         const ResultDetails& details) {
    CResultDlg dlg(m_owner != nullptr ? m_owner->window() : nullptr);
    dlg.SetOtherCheck(title, heading);
    Exec(dlg, lines, details);
}

int CQtResultPresenter::Exec(CResultDlg& dlg, const std::vector<std::string>& lines,
                             const ResultDetails& details) const {
    dlg.m_lines = lines;
    dlg.m_details = details;
    return m_runner ? m_runner(dlg) : dlg.exec();
}

void CQtResultPresenter::OpenLink(const std::string& url) {
    OpenLinkOnDesktop(QString::fromLatin1(url.data(), static_cast<qsizetype>(url.size())));
}
