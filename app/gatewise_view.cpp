#include "app/gatewise_view.h"

#include <QApplication>
#include <QFontDialog>
#include <QKeyEvent>
#include <QMimeData>
#include <QTimer>
#include <QTimerEvent>
#include <QtEndian>

#include "app/command_ids.h"
#include "app/stun_setting_dlg.h"
#include "core/settings.h"

namespace {

// The log font: "MS Sans Serif", 20 pixels high, normal weight, or the closest sans-serif face.
QFont MakeLogFont() {
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(20);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    font.setStyleHint(QFont::SansSerif);
    return font;
}
}  // namespace

QByteArray LogTextToFileBytes(const QString& text) {
    QString crlf = text;
    crlf.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    return crlf.toLatin1();
}

QString FileBytesToLogText(const QByteArray& bytes) {
    QString text = QString::fromLatin1(bytes);
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return text;
}

CGatewiseView::CGatewiseView(QWidget* parent)
    : QPlainTextEdit(parent), m_notify(this), m_presenter(this) {
    // Long lines wrap at the window edge; there is no horizontal scrolling.
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setReadOnly(false);
    m_check.SetResultPresenter(&m_presenter);
}

CGatewiseView::~CGatewiseView() {
    m_timer1.stop();
    m_timer2.stop();
    if (theLog.OutputWindow() == this)
        theLog.SetOutputWindow(nullptr);
    // Cancels a delivery waiting for this thread and joins the network threads before the Qt
    // object (the target of posted deliveries) goes away.
    m_check.Stop();
    m_check.CleanupWinsock();
}

void CGatewiseView::SetSettingsPath(std::string path) {
    m_settingsPath = path;
    m_check.SetSettingsLoader(
        [path](StunSettings& settings) { return ReadSettingsForCheck(settings, path); });
    m_check.SetSettingsPath(std::move(path));
}

void CGatewiseView::OnInitialUpdate() {
    m_timer1.start(m_startDelayMs, this);
}

void CGatewiseView::timerEvent(QTimerEvent* event) {
    if (event->timerId() == m_timer1.timerId()) {
        OnStartupTimer();
    } else if (event->timerId() == m_timer2.timerId()) {
        m_check.OnTick(0);
    }
    QPlainTextEdit::timerEvent(event);
}

void CGatewiseView::OnStartupTimer() {
    m_timer1.stop();
    m_logFont = MakeLogFont();
    setFont(m_logFont);
    theLog.SetOutputWindow(this);
    m_check.SetNotifyTarget(&m_notify);
    const bool ok = m_check.StartUp();
    if (!ok) {
        // The window stays painted during the pause, unlike a sleeping thread.
        QTimer::singleShot(m_failureCloseMs, this, [this] { window()->close(); });
    }
    m_timer2.start(kTickMs, this);
    m_startupDone = true;
    emit startupFinished(ok);
}

void CGatewiseView::OnStartNatDetect() {
    // Before start-up the network side does not exist yet; a module created now would be
    // replaced, still running, at start-up.
    if (!m_startupDone)
        return;
    m_check.StartCheck();
}

void CGatewiseView::OnStunSetting() {
    StunSettings loaded;
    if (!LoadSettings(loaded, m_settingsPath))
        return;
    CStunSettingDlg dlg(window());
    // The dialog holds host order; the settings travel in network order.
    dlg.m_server1Ip = qFromBigEndian(loaded.server1Ip);
    dlg.m_server1Port = qFromBigEndian(loaded.server1Port);
    dlg.m_server2Ip = qFromBigEndian(loaded.server2Ip);
    dlg.m_server2Port = qFromBigEndian(loaded.server2Port);
    dlg.m_friendIp = qFromBigEndian(loaded.friendIp);
    const int result = m_runSettingsDialog ? m_runSettingsDialog(dlg) : dlg.exec();
    if (result != QDialog::Accepted)
        return;
    SaveSettings(dlg.m_server1Ip, dlg.m_server1Port, dlg.m_server2Ip, dlg.m_server2Port,
                 dlg.m_friendIp, m_settingsPath);
}

void CGatewiseView::OnClearLog() {
    clear();
}

void CGatewiseView::OnSelectFont() {
    std::optional<QFont> chosen;
    if (m_promptFont) {
        chosen = m_promptFont(this);
    } else {
        bool ok = false;
        const QFont font = QFontDialog::getFont(&ok, QFont(), this, QStringLiteral("Font"));
        if (ok)
            chosen = font;
    }
    if (!chosen)
        return;
    m_logFont = *chosen;
    setFont(m_logFont);
}

std::size_t CGatewiseView::TextLength() const {
    return static_cast<std::size_t>(std::max(0, document()->characterCount() - 1));
}

void CGatewiseView::SetEmptySelection(std::size_t pos) {
    QTextCursor cursor(document());
    cursor.setPosition(static_cast<int>(std::min(pos, TextLength())));
    setTextCursor(cursor);
}

void CGatewiseView::ReplaceSelectionNoUndo(const char* text) {
    QString piece = FileBytesToLogText(QByteArray(text));
    QTextCursor cursor = textCursor();
    const qsizetype kept =
        static_cast<qsizetype>(TextLength()) - (cursor.selectionEnd() - cursor.selectionStart());
    // Text beyond the window's limit is not shown, as the edit window cuts a replacement to fit.
    const qsizetype room = std::max<qsizetype>(0, kLogTextLimit - kept);
    if (piece.size() > room)
        piece.truncate(room);
    QTextDocument* doc = document();
    const bool undo = doc->isUndoRedoEnabled();
    doc->setUndoRedoEnabled(false);
    cursor.insertText(piece);
    doc->setUndoRedoEnabled(undo);
    setTextCursor(cursor);
    ensureCursorVisible();
}

QByteArray CGatewiseView::TextAsFileBytes() const {
    return LogTextToFileBytes(toPlainText());
}

void CGatewiseView::SetTextFromFileBytes(const QByteArray& bytes) {
    setPlainText(FileBytesToLogText(bytes));
}

void CGatewiseView::keyPressEvent(QKeyEvent* event) {
    const QString typed = event->text();
    const bool inserts =
        !typed.isEmpty() && (typed.at(0).isPrint() || typed.at(0) == QLatin1Char('\t'));
    if (inserts || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        const QTextCursor cursor = textCursor();
        const qsizetype after = static_cast<qsizetype>(TextLength()) -
                                (cursor.selectionEnd() - cursor.selectionStart()) +
                                std::max<qsizetype>(1, typed.size());
        if (after > kLogTextLimit) {
            QApplication::beep();
            return;
        }
    }
    QPlainTextEdit::keyPressEvent(event);
}

void CGatewiseView::insertFromMimeData(const QMimeData* source) {
    if (!source->hasText())
        return;
    QString text = source->text();
    const QTextCursor cursor = textCursor();
    const qsizetype kept =
        static_cast<qsizetype>(TextLength()) - (cursor.selectionEnd() - cursor.selectionStart());
    const qsizetype room = std::max<qsizetype>(0, kLogTextLimit - kept);
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    if (text.size() > room)
        text.truncate(room);
    QTextCursor insert = textCursor();
    insert.insertText(text);
    setTextCursor(insert);
    ensureCursorVisible();
}
