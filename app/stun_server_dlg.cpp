#include "app/stun_server_dlg.h"

#include <algorithm>

#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "app/message_box.h"
#include "core/host_resolver.h"
#include "net/address_text.h"

namespace {
const QString kNeedHost = QStringLiteral("Please enter the STUN server's host name or address.");
const QString kBadHost =
    QStringLiteral("Please enter a host name or a dotted IPv4 address other than 0.0.0.0.");
const QString kBadPort = QStringLiteral("Please enter a port from 1 to 65535.");
}  // namespace

std::optional<StunServerText> ParseStunServerText(const QString& text, QString& why) {
    const QString trimmed = text.trimmed();
    const qsizetype colon = trimmed.lastIndexOf(QLatin1Char(':'));
    StunServerText server;
    if (colon >= 0) {
        const QString portText = trimmed.mid(colon + 1);
        bool ok = false;
        const uint port = portText.toUInt(&ok, 10);
        // toUInt takes a sign and blanks; a port is digits only.
        bool digits = !portText.isEmpty();
        for (const QChar c : portText)
            digits = digits && c >= QLatin1Char('0') && c <= QLatin1Char('9');
        if (!ok || !digits || port < 1 || port > 65535) {
            why = kBadPort;
            return std::nullopt;
        }
        server.port = static_cast<std::uint16_t>(port);
    }
    const QString host = colon >= 0 ? trimmed.left(colon) : trimmed;
    if (host.isEmpty()) {
        why = kNeedHost;
        return std::nullopt;
    }
    server.host = host.toStdString();
    const std::optional<std::uint32_t> dotted = ParseIpv4(server.host);
    // Digits and dots that are no address are a typing error, never a name to look up.
    if (dotted ? *dotted == 0 : !LooksLikeHostName(server.host)) {
        why = kBadHost;
        return std::nullopt;
    }
    return server;
}

CStunServerDlg::CStunServerDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Standard STUN Check"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(
        QStringLiteral("Test the NAT with the standard STUN tests (RFC 5389/5780).\n"
                       "Enter the server as host[:port]; the port is 3478 when left out."),
        this));
    auto* form = new QFormLayout;
    m_serverEdit = new QLineEdit(this);
    m_serverEdit->setObjectName(QStringLiteral("stunServer"));
    m_serverEdit->setPlaceholderText(
        QStringLiteral("host name or IPv4 address, optionally :port (default %1)")
            .arg(kDefaultStunPort));
    m_serverEdit->setToolTip(
        QStringLiteral("A standard STUN server, for example stun.example.net or "
                       "192.0.2.1:3479.\nThe port is %1 when left out.")
            .arg(kDefaultStunPort));
    m_server2Edit = new QLineEdit(this);
    m_server2Edit->setObjectName(QStringLiteral("stunServer2"));
    m_server2Edit->setPlaceholderText(QStringLiteral("optional, the same form"));
    m_server2Edit->setToolTip(
        QStringLiteral("Asked only when the first server cannot do the RFC 5780 tests: a "
                       "server on another IP address\ntells whether the NAT's mapping depends "
                       "on where it sends to."));
    form->addRow(QStringLiteral("STUN server:"), m_serverEdit);
    form->addRow(QStringLiteral("Second server:"), m_server2Edit);
    layout->addLayout(form);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &CStunServerDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CStunServerDlg::reject);
    layout->addWidget(buttons);
    // Room for 36 characters and for the whole hint the empty field shows.
    const QFontMetrics metrics = m_serverEdit->fontMetrics();
    const int x = metrics.horizontalAdvance(QLatin1Char('x'));
    m_serverEdit->setMinimumWidth(
        std::max(x * 36, metrics.horizontalAdvance(m_serverEdit->placeholderText()) + x * 2));
}

void CStunServerDlg::showEvent(QShowEvent* event) {
    // Only the first showing fills the fields; later ones keep what was typed.
    if (m_initialised) {
        QDialog::showEvent(event);
        return;
    }
    m_initialised = true;
    m_serverEdit->setText(m_serverText);
    m_server2Edit->setText(m_server2Text);
    m_serverEdit->setFocus();
    m_serverEdit->selectAll();
    QDialog::showEvent(event);
}

bool CStunServerDlg::ReadControls() {
    QString why;
    const std::optional<StunServerText> first = ParseStunServerText(m_serverEdit->text(), why);
    std::optional<StunServerText> second;
    QLineEdit* bad = first ? nullptr : m_serverEdit;
    if (bad == nullptr && !m_server2Edit->text().trimmed().isEmpty()) {
        second = ParseStunServerText(m_server2Edit->text(), why);
        if (!second)
            bad = m_server2Edit;
    }
    if (bad != nullptr) {
        AppMessageBox(this, why);
        bad->setFocus();
        bad->selectAll();
        return false;
    }
    m_serverText = m_serverEdit->text().trimmed();
    m_server2Text = m_server2Edit->text().trimmed();
    m_server = *first;
    m_server2 = second;
    return true;
}

void CStunServerDlg::accept() {
    if (!ReadControls())
        return;
    QDialog::accept();
}
