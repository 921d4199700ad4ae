#include "app/stun_setting_dlg.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtEndian>

#include "app/ip_address_ctrl.h"
#include "app/message_box.h"
#include "core/host_resolver.h"
#include "net/address_text.h"

namespace {
// Template 130: client size in dialog units, font size in points.
constexpr int kTemplateWidth = 273;
constexpr int kTemplateHeight = 202;
constexpr int kFontPoints = 10;
constexpr std::uint32_t kMaxPort = 65535;
// The settings file's values are read into 50-byte buffers: a longer name would come back cut.
constexpr int kMaxValueLength = 49;

// Where each row's value lives in the file's texts, and how the messages name a server.
constexpr std::string SettingsText::*kAddressText[] = {
    &SettingsText::server1Ip, &SettingsText::server2Ip, &SettingsText::friendIp};
constexpr std::string SettingsText::*kPortText[] = {&SettingsText::server1Port,
                                                    &SettingsText::server2Port};
constexpr const char* kServerName[] = {"STUN Server1", "STUN Server2", nullptr};
}  // namespace

bool ParseUnsignedDecimal(const QString& text, std::uint32_t& value) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return false;
    std::uint64_t v = 0;
    for (const QChar c : trimmed) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        v = v * 10 + static_cast<std::uint64_t>(c.unicode() - '0');
        if (v > 0xFFFFFFFFull)
            return false;
    }
    value = static_cast<std::uint32_t>(v);
    return true;
}

CStunSettingDlg::CStunSettingDlg(QWidget* parent)
    : CTemplateDialog(parent, QStringLiteral("STUN Setting"), DialogFont(kFontPoints),
                      kTemplateWidth, kTemplateHeight) {
    // Created in template order, which is also the tab order: OK first, so Enter confirms at once.
    auto* ok = Place(new QPushButton(QStringLiteral("OK"), this), 1, 152, 181, 50, 14);
    ok->setDefault(true);
    auto* cancel = Place(new QPushButton(QStringLiteral("Cancel"), this), 2, 216, 181, 50, 14);
    connect(ok, &QPushButton::clicked, this, &CStunSettingDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &CStunSettingDlg::reject);

    // The address control, then the name field in its place and the box that switches to it.
    auto addAddress = [this](int row, int id, int top, int height) {
        AddressRow& r = m_rows[static_cast<std::size_t>(row)];
        r.address = Place(new CIpAddressCtrl(this), id, 91, top, 100, height);
        r.name = Place(new QLineEdit(this), -1, 91, top, 100, height);
        r.name->setMaxLength(kMaxValueLength);
        r.name->setObjectName(QStringLiteral("name%1").arg(row));
        r.name->hide();
        r.byName = Place(new QCheckBox(QStringLiteral("Name"), this), -1, 195, top, 40, height);
        r.byName->setToolTip(QStringLiteral("Enter a host name instead of an IPv4 address"));
        connect(r.byName, &QCheckBox::toggled, this, [this, row] { ShowMode(row); });
        // Ticked or cleared by the user: the field shown is where the typing goes next.
        connect(r.byName, &QCheckBox::clicked, this, [this, row](bool byName) {
            const AddressRow& shown = Row(row);
            byName ? shown.name->setFocus() : shown.address->setFocus();
        });
    };
    auto addServer = [&](const QString& title, int index, int top, int ipId, int portId) {
        Place(new QGroupBox(title, this), -1, 7, top, 233, 50)->lower();
        Place(new QLabel(QStringLiteral("IP Address:"), this), -1, 29, top + 15, 36, 8);
        Place(new QLabel(QStringLiteral("Port:"), this), -1, 29, top + 31, 15, 8);
        addAddress(index, ipId, top + 12, 14);
        PortRow& port = m_ports[static_cast<std::size_t>(index)];
        port.edit = Place(new QLineEdit(this), portId, 91, top + 30, 40, 14);
        port.error = Place(new QLabel(QStringLiteral("Must be 1 to 65535"), this), -1, 135,
                           top + 31, 100, 8);
        QPalette red = port.error->palette();
        red.setColor(QPalette::WindowText, Qt::red);
        port.error->setPalette(red);
        port.error->hide();
        connect(port.edit, &QLineEdit::textChanged, this, [this, index] { ShowPortError(index); });
    };
    addServer(QStringLiteral("STUN Server1:"), 0, 7, 1001, 1002);
    addServer(QStringLiteral("STUN Server2:"), 1, 66, 1003, 1004);

    Place(new QGroupBox(QStringLiteral("Friend's Address"), this), -1, 7, 127, 233, 40)->lower();
    Place(new QLabel(QStringLiteral("IP Address:"), this), -1, 29, 145, 36, 8);
    addAddress(2, 1005, 142, 15);

    // Labels a little taller than their template box so descenders are not cut with other fonts.
    for (QLabel* label : findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
        label->resize(label->width() + AvgCharWidth(), label->height() + CharHeight() / 2);
    }
    ok->setFocus();
}

void CStunSettingDlg::ShowMode(int row) {
    const AddressRow& r = Row(row);
    const bool byName = r.byName->isChecked();
    r.address->setVisible(!byName);
    r.name->setVisible(byName);
}

void CStunSettingDlg::ShowPortError(int index) {
    const PortRow& port = m_ports[static_cast<std::size_t>(index)];
    std::uint32_t value = 0;
    const bool ok =
        ParseUnsignedDecimal(port.edit->text(), value) && value >= 1 && value <= kMaxPort;
    port.error->setVisible(!ok);
}

void CStunSettingDlg::InitControls() {
    for (int i = 0; i < 2; ++i)
        m_ports[static_cast<std::size_t>(i)].edit->setText(
            QString::fromStdString(m_values.*kPortText[i]));
    for (int i = 0; i < 3; ++i) {
        const AddressRow& r = Row(i);
        const std::string& text = m_values.*kAddressText[i];
        // What a check looks up as a host name is shown as one; an empty value as a blank address.
        const std::optional<std::uint32_t> number = AddressTextNumber(text);
        r.byName->setChecked(!number && !text.empty());
        ShowMode(i);
        r.name->setText(number ? QString() : QString::fromStdString(text));
        if (number)
            r.address->SetAddress(qFromBigEndian(*number));
        else
            r.address->ClearAddress();
    }
    m_fileValues = m_values;
    m_shown = {.server1Ip = Entered(0),
               .server1Port = EnteredPort(0),
               .server2Ip = Entered(1),
               .server2Port = EnteredPort(1),
               .friendIp = Entered(2)};
    if (auto* ok = GetDlgItem(1))
        ok->setFocus();
}

std::string CStunSettingDlg::Entered(int row) const {
    const AddressRow& r = Row(row);
    if (r.byName->isChecked()) {
        const QString name = r.name->text().trimmed();
        if (!name.isEmpty())
            return name.toStdString();
    } else {
        std::uint32_t address = 0;  // host order; a blank field reads as 0
        r.address->GetAddress(address);
        return FormatIpv4(qToBigEndian(address));
    }
    return "0.0.0.0";
}

std::string CStunSettingDlg::EnteredPort(int index) const {
    return m_ports[static_cast<std::size_t>(index)].edit->text().trimmed().toStdString();
}

bool CStunSettingDlg::ReadAddress(int row) {
    const AddressRow& r = Row(row);
    const char* server = kServerName[row];
    QLineEdit* focus = r.name;
    std::uint32_t addressNet = 0;
    if (r.byName->isChecked()) {
        const std::string name = r.name->text().trimmed().toStdString();
        const std::optional<std::uint32_t> number = AddressTextNumber(name);
        if (!name.empty() && !number) {
            // A name is looked up when a check starts; an address typed here is checked now.
            if (LooksLikeHostName(name))
                return true;
            Refuse(r.name, QStringLiteral("\"%1\" is not a dotted IPv4 address or host name.")
                               .arg(QString::fromStdString(name)));
            return false;
        }
        addressNet = number.value_or(0);
    } else {
        if (const int bad = r.address->InvalidField(); bad >= 0) {
            r.address->ReportInvalidField(bad);
            return false;
        }
        std::uint32_t address = 0;
        r.address->GetAddress(address);
        addressNet = qToBigEndian(address);
        focus = r.address->Field(0);
    }
    // A server of 0.0.0.0 starts no check; a friend of 0.0.0.0 is no friend.
    if (addressNet == 0 && server != nullptr) {
        Refuse(focus,
               QStringLiteral("Please enter the %1 address.").arg(QString::fromLatin1(server)));
        return false;
    }
    // Broadcast and multicast reach other hosts, never the one server or friend meant.
    if (const char* problem = addressNet != 0 ? PeerAddressProblem(addressNet) : nullptr) {
        Refuse(focus, QStringLiteral("The address %1 %2; please enter the address of one host.")
                          .arg(QString::fromStdString(FormatIpv4(addressNet)),
                               QString::fromLatin1(problem)));
        return false;
    }
    return true;
}

bool CStunSettingDlg::ReadControls() {
    // Ports first, server 1 then server 2; the first bad one stops the reading.
    std::uint32_t ports[2] = {};
    for (int i = 0; i < 2; ++i) {
        QLineEdit* edit = m_ports[static_cast<std::size_t>(i)].edit;
        std::uint32_t& value = ports[i];
        if (!ParseUnsignedDecimal(edit->text(), value)) {
            Refuse(edit, QStringLiteral("Please enter a positive integer."));
            return false;
        }
        // Port 0 or one above 16 bits starts no check, and a saved one would lock the file.
        if (value == 0 || value > kMaxPort) {
            Refuse(edit, QStringLiteral("Please enter a port number from 1 to 65535."));
            return false;
        }
    }
    for (int i = 0; i < 3; ++i) {
        if (!ReadAddress(i))
            return false;
    }
    // A value shown and left alone keeps the file's text; a changed one is written plainly.
    SettingsText read;
    for (int i = 0; i < 2; ++i) {
        const auto key = kPortText[i];
        read.*key = EnteredPort(i) == m_shown.*key ? m_fileValues.*key : std::to_string(ports[i]);
    }
    for (int i = 0; i < 3; ++i) {
        const auto key = kAddressText[i];
        const std::string entered = Entered(i);
        read.*key = entered == m_shown.*key ? m_fileValues.*key : entered;
    }
    m_values = read;
    return true;
}

void CStunSettingDlg::Refuse(QLineEdit* edit, const QString& message) {
    AppMessageBox(this, message);
    edit->setFocus();
    edit->selectAll();
}

void CStunSettingDlg::accept() {
    if (!ReadControls())
        return;
    if (m_saver) {
        if (const QString error = m_saver(*this); !error.isEmpty()) {
            AppMessageBox(this, error);
            return;
        }
    }
    CTemplateDialog::accept();
}
