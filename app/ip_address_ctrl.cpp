#include "app/ip_address_ctrl.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QRegularExpressionValidator>
#include <QtEndian>
#include <memory>

#include "app/message_box.h"
#include "net/address_text.h"

namespace {
constexpr int kMaxOctet = 255;
}  // namespace

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
        connect(field, &QLineEdit::textChanged, this, [this, i] { MarkField(i); });
        connect(field, &QLineEdit::editingFinished, this, [this, i] { OnEditingFinished(i); });
    }
    setFocusProxy(m_fields[0]);
}

int CIpAddressCtrl::FieldValue(const QLineEdit* field) {
    bool ok = false;
    const int v = field->text().toInt(&ok);
    if (!ok)
        return 0;
    return std::min(v, kMaxOctet);
}

bool CIpAddressCtrl::InRange(const QLineEdit* field) {
    return field->text().toInt() <= kMaxOctet;  // blank and digits only: toInt cannot fail else
}

int CIpAddressCtrl::InvalidField() const {
    for (int i = 0; i < 4; ++i) {
        if (!InRange(m_fields[static_cast<std::size_t>(i)]))
            return i;
    }
    return -1;
}

void CIpAddressCtrl::ReportInvalidField(int index) {
    QLineEdit* field = m_fields[static_cast<std::size_t>(index)];
    m_movedTo = -1;
    // The box takes the focus, and the field's leaving it must not report the same field again.
    if (m_reporting)
        return;
    m_reporting = true;
    AppMessageBox(this,
                  QStringLiteral("An address field holds a number from 0 to 255; %1 is too large.")
                      .arg(field->text()));
    m_reporting = false;
    field->setFocus();
    field->selectAll();
}

void CIpAddressCtrl::MarkField(int index) {
    QLineEdit* field = m_fields[static_cast<std::size_t>(index)];
    QPalette palette = field->palette();
    palette.setColor(QPalette::Text,
                     InRange(field) ? QWidget::palette().color(QPalette::Text) : QColor(Qt::red));
    field->setPalette(palette);
}

void CIpAddressCtrl::OnEditingFinished(int index) {
    if (!InRange(m_fields[static_cast<std::size_t>(index)]))
        ReportInvalidField(index);
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
    QLineEdit* field = m_fields[static_cast<std::size_t>(index)];
    if (field->text().size() < 3)
        return;
    // A full field out of range is reported at once and keeps the focus, so the next digits do
    // not land in the following field.
    if (!InRange(field)) {
        ReportInvalidField(index);
        return;
    }
    // A full field moves on to the next one, as typing an address by its digits expects.
    if (index < 3) {
        QLineEdit* next = m_fields[static_cast<std::size_t>(index + 1)];
        next->setFocus();
        next->selectAll();
        m_movedTo = index + 1;
    }
}

void CIpAddressCtrl::PasteInto(int index) {
    if (const auto address =
            ParseIpv4(QGuiApplication::clipboard()->text().trimmed().toStdString())) {
        SetAddress(qFromBigEndian(*address));
        m_movedTo = -1;
        m_fields[3]->setFocus();
        m_fields[3]->end(false);
        return;
    }
    m_fields[static_cast<std::size_t>(index)]->paste();
}

bool CIpAddressCtrl::OnKeyPress(int index, const QKeyEvent& key) {
    QLineEdit* field = m_fields[static_cast<std::size_t>(index)];
    if (key.matches(QKeySequence::Paste)) {
        PasteInto(index);
        return true;
    }
    const bool separator = key.key() == Qt::Key_Period || key.key() == Qt::Key_Space;
    if (m_movedTo == index && !key.text().isEmpty()) {
        // "192." typed in full: the move after "192" already took the '.' the user meant.
        m_movedTo = -1;
        if (separator)
            return true;
    }
    if (separator) {
        if (index < 3 && !field->text().isEmpty()) {
            m_fields[static_cast<std::size_t>(index + 1)]->setFocus();
            m_fields[static_cast<std::size_t>(index + 1)]->selectAll();
        }
        return true;
    }
    if (key.key() == Qt::Key_Backspace && index > 0 && field->cursorPosition() == 0 &&
        !field->hasSelectedText()) {
        QLineEdit* previous = m_fields[static_cast<std::size_t>(index - 1)];
        previous->setFocus();
        previous->end(false);
        return true;
    }
    // A full field would drop the digit without a sign: the digit starts the octet afresh.
    const QString text = key.text();
    if (text.size() == 1 && text[0].isDigit() && field->text().size() >= field->maxLength() &&
        !field->hasSelectedText()) {
        field->selectAll();
    }
    return false;
}

bool CIpAddressCtrl::eventFilter(QObject* watched, QEvent* event) {
    for (int i = 0; i < 4; ++i) {
        QLineEdit* field = m_fields[static_cast<std::size_t>(i)];
        if (watched != field)
            continue;
        if (event->type() == QEvent::FocusOut && m_movedTo == i)
            m_movedTo = -1;
        if (event->type() == QEvent::KeyPress && OnKeyPress(i, *static_cast<QKeyEvent*>(event)))
            return true;
        if (event->type() == QEvent::ContextMenu) {
            // The field's own menu, its Paste taking whole addresses as the keys do.
            std::unique_ptr<QMenu> menu(field->createStandardContextMenu());
            for (QAction* action : menu->actions()) {
                // Named by the field's own text, its shortcut after a tab when it shows one.
                if (action->text().section(QLatin1Char('\t'), 0, 0) != QLineEdit::tr("&Paste"))
                    continue;
                disconnect(action, &QAction::triggered, field, nullptr);
                connect(action, &QAction::triggered, this, [this, i] { PasteInto(i); });
            }
            menu->exec(static_cast<QContextMenuEvent*>(event)->globalPos());
            return true;
        }
    }
    return QFrame::eventFilter(watched, event);
}
