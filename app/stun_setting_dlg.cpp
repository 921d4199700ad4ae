#include "app/stun_setting_dlg.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/ip_address_ctrl.h"
#include "app/message_box.h"

namespace {
// Template 130: client size in dialog units, font size in points.
constexpr int kTemplateWidth = 273;
constexpr int kTemplateHeight = 202;
constexpr int kFontPoints = 10;
constexpr std::uint32_t kMaxPort = 65535;
constexpr std::uint32_t kNoAddress = 0xFFFFFFFFu;
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

    auto addServer = [this](const QString& title, int top, int ipId, int portId,
                            CIpAddressCtrl*& ipCtrl, QLineEdit*& portEdit) {
        Place(new QGroupBox(title, this), -1, 7, top, 233, 50)->lower();
        Place(new QLabel(QStringLiteral("IP Address:"), this), -1, 29, top + 15, 36, 8);
        Place(new QLabel(QStringLiteral("Port:"), this), -1, 29, top + 31, 15, 8);
        ipCtrl = Place(new CIpAddressCtrl(this), ipId, 91, top + 12, 100, 14);
        portEdit = Place(new QLineEdit(this), portId, 91, top + 30, 40, 14);
    };
    addServer(QStringLiteral("STUN Server1:"), 7, 1001, 1002, m_server1Ctrl, m_port1Edit);
    addServer(QStringLiteral("STUN Server2:"), 66, 1003, 1004, m_server2Ctrl, m_port2Edit);

    Place(new QGroupBox(QStringLiteral("Friend's Address"), this), -1, 7, 127, 233, 40)->lower();
    Place(new QLabel(QStringLiteral("IP Address:"), this), -1, 29, 145, 36, 8);
    m_friendCtrl = Place(new CIpAddressCtrl(this), 1005, 91, 142, 100, 15);

    // Labels a little taller than their template box so descenders are not cut with other fonts.
    for (QLabel* label : findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
        label->resize(label->width() + AvgCharWidth(), label->height() + CharHeight() / 2);
    }
    ok->setFocus();
}

void CStunSettingDlg::InitControls() {
    m_port1Edit->setText(QString::number(m_server1Port));
    m_port2Edit->setText(QString::number(m_server2Port));
    // All ones is what a file value that is no address reads as: shown blank, to be typed anew.
    const std::pair<CIpAddressCtrl*, std::uint32_t> addresses[] = {
        {m_server1Ctrl, m_server1Ip}, {m_server2Ctrl, m_server2Ip}, {m_friendCtrl, m_friendIp}};
    for (const auto& [ctrl, address] : addresses) {
        if (address == kNoAddress)
            ctrl->ClearAddress();
        else
            ctrl->SetAddress(address);
    }
    if (auto* ok = GetDlgItem(1))
        ok->setFocus();
}

bool CStunSettingDlg::ReadControls() {
    // Ports first, server 1 then server 2; the first bad one stops the reading.
    const std::pair<QLineEdit*, std::uint32_t*> ports[] = {{m_port1Edit, &m_server1Port},
                                                           {m_port2Edit, &m_server2Port}};
    for (const auto& [edit, field] : ports) {
        std::uint32_t value = 0;
        if (!ParseUnsignedDecimal(edit->text(), value)) {
            Refuse(edit, QStringLiteral("Please enter a positive integer."));
            return false;
        }
        // Port 0 or one above 16 bits starts no check, and a saved one would lock the file.
        if (value == 0 || value > kMaxPort) {
            Refuse(edit, QStringLiteral("Please enter a port number from 1 to 65535."));
            return false;
        }
        *field = value;
    }
    const std::pair<CIpAddressCtrl*, const char*> addresses[] = {
        {m_server1Ctrl, "STUN Server1"}, {m_server2Ctrl, "STUN Server2"}, {m_friendCtrl, nullptr}};
    for (const auto& [ctrl, server] : addresses) {
        if (const int bad = ctrl->InvalidField(); bad >= 0) {
            ctrl->ReportInvalidField(bad);
            return false;
        }
        std::uint32_t address = 0;
        ctrl->GetAddress(address);
        // A server of 0.0.0.0 starts no check; a friend of 0.0.0.0 is no friend.
        if (server != nullptr && address == 0) {
            AppMessageBox(
                this,
                QStringLiteral("Please enter the %1 address.").arg(QString::fromLatin1(server)));
            ctrl->Field(0)->setFocus();
            ctrl->Field(0)->selectAll();
            return false;
        }
    }
    m_server1Ctrl->GetAddress(m_server1Ip);
    m_server2Ctrl->GetAddress(m_server2Ip);
    m_friendCtrl->GetAddress(m_friendIp);
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
