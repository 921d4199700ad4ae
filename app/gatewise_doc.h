#pragma once
// The document: no data of its own, its content is the view's text. It saves that text as a file
// (see EncodeSavedText) and loads a file named on the command line as the log's initial text.
// User-interface thread only.

#include <QObject>
#include <QString>
#include <functional>

class CGatewiseView;
class QWidget;

class CGatewiseDoc : public QObject {
    Q_OBJECT
public:
    CGatewiseDoc() = default;

    void SetView(CGatewiseView* view) { m_view = view; }

    // New document: the view's text becomes empty; no file yet.
    bool OnNewDocument();
    // Loads path as the view's text; false (after a message) when it cannot be read or is larger
    // than the view holds.
    bool OnOpenDocument(const QString& path);
    // "&Save Result": asks for a name the first time, then saves to the same file without asking.
    bool DoFileSave();
    // "Save Result &As...": asks for a name every time, proposing the current file (or
    // "Untitled.txt"); the file chosen is where later saves go. Cancelling changes nothing.
    bool DoFileSaveAs();
    // Writes the view's whole text to path; false (after "Failed to save document." and the
    // reason) when it cannot be written. The log is not touched either way.
    bool OnSaveDocument(const QString& path);

    const QString& PathName() const { return m_pathName; }
    // "Untitled" until the document has a file, then the file's name.
    QString Title() const;
    bool IsModified() const;
    void SetModifiedFlag(bool modified);

    // Test seam: asked instead of the Save As dialog for a file name (empty = cancelled).
    using SaveNamePrompt = std::function<QString(QWidget* parent, const QString& proposed)>;
    void SetSaveNamePrompt(SaveNamePrompt prompt) { m_promptSaveName = std::move(prompt); }

signals:
    void titleChanged(const QString& title);

private:
    QString PromptSaveName();

    CGatewiseView* m_view = nullptr;
    QString m_pathName;
    SaveNamePrompt m_promptSaveName;
};

// The log's text as a saved file holds it: "\r\n" line ends; Latin-1 when every character is in
// it (and the bytes cannot be taken for UTF-8), otherwise the UTF-8 byte-order mark and UTF-8, so
// that no character is lost and the file opens as the same text.
QByteArray EncodeSavedText(const QString& text);
// A saved or opened file's bytes as log text: UTF-8 after a byte-order mark or when the bytes are
// valid UTF-8 throughout, else Latin-1.
QString DecodeSavedText(const QByteArray& bytes);

// Adds ".txt" to a name typed without an extension.
QString WithDefaultExtension(const QString& path);
