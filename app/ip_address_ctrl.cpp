#include "app/ip_address_ctrl.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>

CIpAddressCtrl::CIpAddressCtrl(QWidget* parent) : QFrame(parent) {
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Sunken);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 0, 2, 0);
    layout->setSpacing(0);
    auto* digits =
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,3}")), this);
    for (int i = 0; i < 4; ++i) {
        auto* field = new QLineEdit(this);
        field->setFrame(false);
        field->setAlignment(Qt::AlignCenter);
        field->setMaxLength(3);
        field->setValidator(digits);
        field->installEventFilter(this);
        field->setObjectName(QStringLiteral("field%1").arg(i));
        m_fields[static_cast<std::size_t>(i)] = field;
        layout->addWidget(field, 1);
        if (i < 3) {
            auto* dot = new QLabel(QStringLiteral("."), this);
            dot->setBackgroundRole(QPalette::Base);
            layout->addWidget(dot);
        }
        connect(field, &QLineEdit::textEdited, this, [this, i] { OnEdited(i); });
        connect(field, &QLineEdit::editingFinished, this, [field] {
            if (!field->text().isEmpty())
                field->setText(QString::number(FieldValue(field)));
        });
    }
    setFocusProxy(m_fields[0]);
}

int CIpAddressCtrl::FieldValue(const QLineEdit* field) {
    bool ok = false;
    const int v = field->text().toInt(&ok);
    if (!ok)
        return 0;
    return std::min(v, 255);
}

void CIpAddressCtrl::SetAddress(std::uint32_t address) {
    for (int i = 0; i < 4; ++i) {
        const unsigned octet = (address >> (24 - 8 * i)) & 0xFFu;
        m_fields[static_cast<std::size_t>(i)]->setText(QString::number(octet));
    }
}

int CIpAddressCtrl::GetAddress(std::uint32_t& address) const {
    address = 0;
    int filled = 0;
    for (int i = 0; i < 4; ++i) {
        const QLineEdit* field = m_fields[static_cast<std::size_t>(i)];
        if (!field->text().isEmpty())
            ++filled;
        address |= static_cast<std::uint32_t>(FieldValue(field)) << (24 - 8 * i);
    }
    return filled;
}

void CIpAddressCtrl::ClearAddress() {
    for (QLineEdit* field : m_fields)
        field->clear();
}

bool CIpAddressCtrl::IsBlank() const {
    for (const QLineEdit* field : m_fields) {
        if (!field->text().isEmpty())
            return false;
    }
    return true;
}

void CIpAddressCtrl::OnEdited(int index) {
    // A full field moves on to the next one, as typing an address by its digits expects.
    if (index < 3 && m_fields[static_cast<std::size_t>(index)]->text().size() == 3) {
        QLineEdit* next = m_fields[static_cast<std::size_t>(index + 1)];
        next->setFocus();
        next->selectAll();
    }
}

bool CIpAddressCtrl::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        for (int i = 0; i < 3; ++i) {
            QLineEdit* field = m_fields[static_cast<std::size_t>(i)];
            if (watched == field && (key->key() == Qt::Key_Period || key->key() == Qt::Key_Space)) {
                if (!field->text().isEmpty()) {
                    m_fields[static_cast<std::size_t>(i + 1)]->setFocus();
                    m_fields[static_cast<std::size_t>(i + 1)]->selectAll();
                }
                return true;
            }
        }
    }
    return QFrame::eventFilter(watched, event);
}
