#include "app/gatewise_doc.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QSaveFile>
#include <algorithm>
#include <string_view>

#include "app/command_ids.h"
#include "app/gatewise_view.h"
#include "app/message_box.h"
#include "core/utf8_text.h"

namespace {
constexpr const char* kUntitled = "Untitled";
// The document string's filter name and extension, then the catch-all.
constexpr const char* kSaveFilters = "*.txt (*.txt);;All Files (*.*)";
// The UTF-8 byte-order mark, which tells a UTF-8 file from a Latin-1 one.
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";
constexpr qsizetype kUtf8BomSize = 3;
}  // namespace

namespace {
bool IsAscii(const QByteArray& bytes) {
    return std::all_of(bytes.begin(), bytes.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string_view AsStringView(const QByteArray& bytes) {
    return {bytes.constData(), static_cast<std::size_t>(bytes.size())};
}
}  // namespace

QByteArray EncodeSavedText(const QString& text) {
    QString crlf = text;
    crlf.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    const bool latin1 =
        std::all_of(crlf.begin(), crlf.end(), [](QChar c) { return c.unicode() <= 0xFF; });
    if (latin1) {
        // Latin-1 bytes that also read as UTF-8 ("\xC3\xBC" for the two characters of a garbled
        // umlaut) would open as other text: those get the mark too.
        QByteArray bytes = crlf.toLatin1();
        if (IsAscii(bytes) || !IsValidUtf8(AsStringView(bytes)))
            return bytes;
    }
    return QByteArray(kUtf8Bom, kUtf8BomSize) + crlf.toUtf8();
}

QString DecodeSavedText(const QByteArray& bytes) {
    QString text;
    if (bytes.startsWith(QByteArray(kUtf8Bom, kUtf8BomSize)))
        text = QString::fromUtf8(bytes.mid(kUtf8BomSize));
    else if (IsValidUtf8(AsStringView(bytes)))
        text = QString::fromUtf8(bytes);  // as other programs (the command-line client) write
    else
        text = QString::fromLatin1(bytes);
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return text;
}

QString WithDefaultExtension(const QString& path) {
    const QFileInfo info(path);
    if (!info.fileName().contains(QLatin1Char('.')))
        return path + QStringLiteral(".txt");
    return path;
}

bool CGatewiseDoc::OnNewDocument() {
    if (m_view != nullptr)
        m_view->clear();
    m_pathName.clear();
    SetModifiedFlag(false);
    emit titleChanged(Title());
    return true;
}

bool CGatewiseDoc::OnOpenDocument(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        AppMessageBox(m_view,
                      QStringLiteral("Failed to open document.\n%1").arg(file.errorString()));
        return false;
    }
    if (file.size() > kLogTextLimit) {
        AppMessageBox(m_view, QStringLiteral("The file is too large to open."));
        return false;
    }
    const QByteArray bytes = file.read(kLogTextLimit + 1);
    if (bytes.size() > kLogTextLimit) {
        AppMessageBox(m_view, QStringLiteral("The file is too large to open."));
        return false;
    }
    if (m_view != nullptr)
        m_view->setPlainText(DecodeSavedText(bytes));
    m_pathName = QFileInfo(path).absoluteFilePath();
    SetModifiedFlag(false);
    emit titleChanged(Title());
    return true;
}

QString CGatewiseDoc::PromptSaveName() {
    const QString proposed = m_pathName.isEmpty()
                                 ? QDir::current().filePath(Title() + QStringLiteral(".txt"))
                                 : m_pathName;
    QWidget* parent = m_view != nullptr ? m_view->window() : nullptr;
    QString name = m_promptSaveName
                       ? m_promptSaveName(parent, proposed)
                       : QFileDialog::getSaveFileName(parent, QStringLiteral("Save As"), proposed,
                                                      QString::fromLatin1(kSaveFilters));
    if (name.isEmpty())
        return name;
    return WithDefaultExtension(name);
}

bool CGatewiseDoc::DoFileSave() {
    QString path = m_pathName;
    if (path.isEmpty()) {
        path = PromptSaveName();
        if (path.isEmpty())
            return false;
    }
    return OnSaveDocument(path);
}

bool CGatewiseDoc::DoFileSaveAs() {
    const QString path = PromptSaveName();
    return !path.isEmpty() && OnSaveDocument(path);
}

bool CGatewiseDoc::OnSaveDocument(const QString& path) {
    const QByteArray bytes =
        m_view != nullptr ? EncodeSavedText(m_view->toPlainText()) : QByteArray();
    // Written beside the target and renamed over it, so a failed save leaves the old file whole.
    QSaveFile file(path);
    bool ok = file.open(QIODevice::WriteOnly);
    if (ok)
        ok = file.write(bytes) == bytes.size();
    if (ok)
        ok = file.commit();
    if (!ok) {
        const QString reason = file.errorString();
        file.cancelWriting();
        AppMessageBox(m_view, QStringLiteral("Failed to save document.\n%1").arg(reason));
        return false;
    }
    m_pathName = QFileInfo(path).absoluteFilePath();
    SetModifiedFlag(false);
    emit titleChanged(Title());
    return true;
}

QString CGatewiseDoc::Title() const {
    if (m_pathName.isEmpty())
        return QString::fromLatin1(kUntitled);
    return QFileInfo(m_pathName).fileName();
}

bool CGatewiseDoc::IsModified() const {
    return m_view != nullptr && m_view->document()->isModified();
}

void CGatewiseDoc::SetModifiedFlag(bool modified) {
    if (m_view != nullptr)
        m_view->document()->setModified(modified);
}
