#include "app/result_dlg.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

#include "app/app_icon.h"
#include "app/desktop_link.h"
#include "app/hyperlink.h"
#include "core/settings.h"

namespace {
// Template 131: client size in dialog units, font size in points.
constexpr int kTemplateWidth = 281;
constexpr int kTemplateHeight = 135;
constexpr int kFontPoints = 10;
constexpr int kFirstLineId = 1007;
// Tops of lines 1 to 6, in dialog units (their spacing is not even in the template).
constexpr int kLineTops[CResultDlg::kMaxShownLines] = {43, 56, 67, 78, 88, 99};
}  // namespace

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
}

void CResultDlg::InitControls() {
    for (std::size_t i = 0; i < m_lines.size() && i < kMaxShownLines; ++i) {
        QWidget* control = GetDlgItem(kFirstLineId + static_cast<int>(i));
        if (control == nullptr)
            continue;
        control->show();
        m_lines[i] = ToLowerAsciiLetters(std::move(m_lines[i]));
        static_cast<QLabel*>(control)->setText(QString::fromLatin1(m_lines[i].c_str()));
    }
    m_sendReport = true;
    m_reportBox->setChecked(m_sendReport);
}

void CResultDlg::accept() {
    m_sendReport = m_reportBox->isChecked();
    CTemplateDialog::accept();
}

bool CQtResultPresenter::ShowResult(const std::vector<std::string>& lines, bool& sendReport) {
    CResultDlg dlg(m_owner != nullptr ? m_owner->window() : nullptr);
    dlg.m_lines = lines;
    const int result = m_runner ? m_runner(dlg) : dlg.exec();
    const bool ok = result == QDialog::Accepted;
    sendReport = ok && dlg.m_sendReport;
    return ok;
}

void CQtResultPresenter::OpenLink(const std::string& url) {
    OpenLinkOnDesktop(QString::fromLatin1(url.data(), static_cast<qsizetype>(url.size())));
}
