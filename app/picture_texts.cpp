#include "app/picture_texts.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QStatusBar>
#include <QWidget>
#include <functional>
#include <limits>
#include <type_traits>
#include <vector>

#include "app/gatewise_view.h"

namespace {
constexpr const char* kComment =
    "# What the picture of the same name shows, as text; scripts/screenshots.sh writes both.";
constexpr const char* kInputPrefix = "input: ";

// The texts of one widget, not of its children.
QString OwnText(const QWidget& widget) {
    if (const auto* label = qobject_cast<const QLabel*>(&widget))
        return label->pixmap().isNull() ? label->text() : QString();
    if (const auto* button = qobject_cast<const QAbstractButton*>(&widget))
        return button->text();
    if (const auto* edit = qobject_cast<const QLineEdit*>(&widget))
        return edit->text().isEmpty() ? edit->placeholderText() : edit->text();
    if (qobject_cast<const CGatewiseView*>(&widget) != nullptr)
        return {};  // the log: what a check wrote, not the program's own texts
    if (const auto* box = qobject_cast<const QPlainTextEdit*>(&widget))
        return box->toPlainText();
    if (const auto* group = qobject_cast<const QGroupBox*>(&widget))
        return group->title();
    if (const auto* status = qobject_cast<const QStatusBar*>(&widget)) {
        // An elided message carries the whole text as the bar's tool tip.
        return status->toolTip().isEmpty() ? status->currentMessage() : status->toolTip();
    }
    if (const auto* bar = qobject_cast<const QMenuBar*>(&widget)) {
        QStringList titles;
        for (const QAction* action : bar->actions())
            titles.append(action->text());
        return titles.join(QLatin1Char(' '));
    }
    return {};
}

void CollectTexts(const QWidget& widget, const QWidget& window, QStringList& out) {
    for (QString line : OwnText(widget).split(QLatin1Char('\n'))) {
        line = line.trimmed();
        if (!line.isEmpty())
            out.append(line);
    }
    for (const QObject* child : widget.children()) {
        const auto* w = qobject_cast<const QWidget*>(child);
        if (w != nullptr && !w->isWindow() && w->isVisibleTo(&window))
            CollectTexts(*w, window, out);
    }
}

// One field of the outcome as a number; empty when the check did not fill it.
struct OutcomeField {
    const char* name;
    std::function<std::optional<long long>(const CheckOutcome&)> get;
    std::function<void(CheckOutcome&, long long)> set;
};

template <typename T>
OutcomeField Field(const char* name, T CheckOutcome::*member) {
    if constexpr (std::is_arithmetic_v<T>) {
        return {name,
                [member](const CheckOutcome& o) -> std::optional<long long> {
                    return static_cast<long long>(o.*member);
                },
                [member](CheckOutcome& o, long long v) { o.*member = static_cast<T>(v); }};
    } else {
        using V = typename T::value_type;
        return {name,
                [member](const CheckOutcome& o) -> std::optional<long long> {
                    if (!(o.*member))
                        return std::nullopt;
                    return static_cast<long long>(*(o.*member));
                },
                [member](CheckOutcome& o, long long v) { o.*member = static_cast<V>(v); }};
    }
}

const std::vector<OutcomeField>& OutcomeFields() {
    static const std::vector<OutcomeField> fields = {
        Field("filter", &CheckOutcome::filterType),
        Field("loopback", &CheckOutcome::loopback),
        Field("alloc", &CheckOutcome::allocRule),
        Field("exceptional", &CheckOutcome::exceptional),
        Field("multiclient", &CheckOutcome::multiClientGood),
        Field("mappedIp", &CheckOutcome::mappedIp),
        Field("mappedPort", &CheckOutcome::mappedPort),
        Field("allocA", &CheckOutcome::allocPortA),
        Field("allocB", &CheckOutcome::allocPortB),
        Field("allocC", &CheckOutcome::allocPortC),
        Field("except1", &CheckOutcome::exceptPort1),
        Field("except2", &CheckOutcome::exceptPort2),
        Field("friendSockPort", &CheckOutcome::friendSockMappedPort),
        Field("friendPort", &CheckOutcome::friendReportedPort),
        Field("friendIp", &CheckOutcome::friendIp),
        Field("silent", &CheckOutcome::silentServer),
    };
    return fields;
}
}  // namespace

QStringList ShownTexts(const QWidget& window) {
    QStringList texts;
    if (!window.windowTitle().isEmpty())
        texts.append(window.windowTitle());
    CollectTexts(window, window, texts);
    static const QRegularExpression digits(QStringLiteral("[0-9]+"));
    for (QString& text : texts)
        text.replace(digits, QStringLiteral("#"));
    return texts;
}

QByteArray PictureSourceBytes(const PictureSource& source) {
    QByteArray bytes = QByteArray(kComment) + '\n';
    for (const QString& input : source.inputs)
        bytes += QByteArray(kInputPrefix) + input.toUtf8() + '\n';
    for (const QString& text : source.texts)
        bytes += text.toUtf8() + '\n';
    return bytes;
}

std::optional<PictureSource> ParsePictureSource(const QByteArray& bytes) {
    QStringList lines = QString::fromUtf8(bytes).split(QLatin1Char('\n'));
    if (lines.isEmpty() || lines.takeFirst() != QLatin1String(kComment))
        return std::nullopt;
    if (!lines.isEmpty() && lines.back().isEmpty())
        lines.removeLast();
    PictureSource source;
    while (!lines.isEmpty() && lines.front().startsWith(QLatin1String(kInputPrefix)))
        source.inputs.append(lines.takeFirst().mid(static_cast<qsizetype>(qstrlen(kInputPrefix))));
    source.texts = lines;
    return source;
}

QString OutcomeInput(const CheckOutcome& outcome, std::optional<bool> mappedIsLocal) {
    QStringList parts;
    for (const OutcomeField& field : OutcomeFields()) {
        if (const auto value = field.get(outcome))
            parts.append(QStringLiteral("%1=%2").arg(QLatin1String(field.name)).arg(*value));
    }
    if (mappedIsLocal)
        parts.append(QStringLiteral("local=%1").arg(*mappedIsLocal ? 1 : 0));
    return parts.join(QLatin1Char(' '));
}

bool ParseOutcomeInput(const QString& input, CheckOutcome& outcome,
                       std::optional<bool>& mappedIsLocal) {
    outcome = {};
    mappedIsLocal.reset();
    for (const QString& part : input.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const qsizetype eq = part.indexOf(QLatin1Char('='));
        bool ok = false;
        const long long value = part.mid(eq + 1).toLongLong(&ok);
        if (eq <= 0 || !ok || value < 0 || value > std::numeric_limits<std::uint32_t>::max())
            return false;
        const QString name = part.left(eq);
        if (name == QLatin1String("local")) {
            mappedIsLocal = value != 0;
            continue;
        }
        bool known = false;
        for (const OutcomeField& field : OutcomeFields()) {
            if (name == QLatin1String(field.name)) {
                field.set(outcome, value);
                known = true;
            }
        }
        if (!known)
            return false;
    }
    return true;
}
