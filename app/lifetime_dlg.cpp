#include "app/lifetime_dlg.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QVBoxLayout>

#include "app/message_box.h"
#include "standard/mapping_lifetime.h"

CLifetimeDlg::CLifetimeDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Mapping Lifetime Test"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(
        QStringLiteral("Measure how long the NAT keeps an idle UDP mapping (RFC 5780 section "
                       "4.6),\nto learn how often a peer-to-peer program must send to keep it."),
        this));
    auto* form = new QFormLayout;
    m_maxBox = new QSpinBox(this);
    m_maxBox->setObjectName(QStringLiteral("lifetimeMax"));
    m_maxBox->setRange(kMinSeconds, kMaxSeconds);
    m_maxBox->setSuffix(QStringLiteral(" s"));
    m_maxBox->setToolTip(QStringLiteral("The longest idle time tried, %1 to %2 seconds.")
                             .arg(kMinSeconds)
                             .arg(kMaxSeconds));
    m_serverEdit = new QLineEdit(this);
    m_serverEdit->setObjectName(QStringLiteral("lifetimeServer"));
    m_serverEdit->setPlaceholderText(QStringLiteral("STUN Server1 of the settings"));
    m_serverEdit->setToolTip(
        QStringLiteral("Empty: STUN Server1 of File > STUN Setting. Otherwise a standard STUN "
                       "server that honours RESPONSE-PORT,\nas host[:port]; the port is %1 when "
                       "left out.")
            .arg(kDefaultStunPort));
    form->addRow(QStringLiteral("Longest idle time:"), m_maxBox);
    form->addRow(QStringLiteral("STUN server:"), m_serverEdit);
    layout->addLayout(form);
    m_duration = new QLabel(this);
    m_duration->setObjectName(QStringLiteral("lifetimeDuration"));
    layout->addWidget(m_duration);
    connect(m_maxBox, &QSpinBox::valueChanged, this,
            [this] { m_duration->setText(DurationText()); });
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &CLifetimeDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CLifetimeDlg::reject);
    layout->addWidget(buttons);
    const QFontMetrics metrics = m_serverEdit->fontMetrics();
    m_serverEdit->setMinimumWidth(metrics.horizontalAdvance(QLatin1Char('x')) * 36);
}

QString CLifetimeDlg::DurationText() const {
    LifetimeConfig config;
    config.maxMs = static_cast<std::uint64_t>(m_maxBox->value()) * 1000;
    const std::uint64_t s = CMappingLifetime::Bound(config) / 1000;
    return QStringLiteral("The test takes at most %1 min %2 s.")
        .arg(s / 60)
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}

void CLifetimeDlg::showEvent(QShowEvent* event) {
    // Only the first showing fills the fields; later ones keep what was typed.
    if (!m_initialised) {
        m_initialised = true;
        m_maxBox->setValue(m_maxSeconds);
        m_serverEdit->setText(m_serverText);
        m_duration->setText(DurationText());
        m_maxBox->setFocus();
        m_maxBox->selectAll();
    }
    QDialog::showEvent(event);
}

void CLifetimeDlg::accept() {
    const QString text = m_serverEdit->text().trimmed();
    std::optional<StunServerText> server;
    if (!text.isEmpty()) {
        QString why;
        server = ParseStunServerText(text, why);
        if (!server) {
            AppMessageBox(this, why);
            m_serverEdit->setFocus();
            m_serverEdit->selectAll();
            return;
        }
    }
    m_maxBox->interpretText();  // a value typed out of range goes back to the last good one
    m_maxSeconds = m_maxBox->value();
    m_serverText = text;
    m_server = server;
    QDialog::accept();
}
