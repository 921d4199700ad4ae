#pragma once
// The main window: menus, accelerators, the status bar and the log view. Its title reads
// "Tarnwick NAT Detector", or "NAME - Tarnwick NAT Detector" once the log was saved to or opened
// from the file NAME, whatever else tries to set it; closing it never asks to save the log.
// User-interface thread only.

#include <QHash>
#include <QMainWindow>
#include <functional>

class CGatewiseDoc;
class CGatewiseView;
class QAction;
class QDialog;
class QLabel;
class QProgressBar;

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    explicit CMainFrame(CGatewiseDoc* doc);

    CGatewiseView* View() const { return m_view; }
    // The action of a command id (menu item, accelerator or unreachable framework command).
    QAction* Command(int id) const { return m_commands.value(id, nullptr); }
    // Runs a command as the menu would; false for an id the window does not know.
    bool ExecuteCommand(int id);

    // The CAP, NUM and SCRL panes.
    QLabel* CapsIndicator() const { return m_caps; }
    QLabel* NumIndicator() const { return m_num; }
    QLabel* ScrollIndicator() const { return m_scrl; }
    // The running check's progress (hidden while none runs).
    QProgressBar* CheckProgressBar() const { return m_progress; }
    void UpdateIndicators();
    // The title as the document has it (see the class comment).
    QString FrameTitle() const;

    // Test seam: runs the about box instead of exec().
    void SetAboutRunner(std::function<int(QDialog&)> runner) { m_runAbout = std::move(runner); }

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    // Keeps the lock-key panes current: they change only with keys or while another window
    // has the keyboard, so key and activation events are the moments to look.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QAction* AddCommand(int id, const QString& menuText, std::function<void()> handler,
                        const QString& prompt = {}, const QList<QKeySequence>& extraKeys = {});
    void CreateActions();
    void CreateMenus();
    void CreateStatusBar();
    void OnAppAbout();
    void OnFileOpen();
    void ForceTitle();
    // Start while no check runs, stop while one does.
    void UpdateCheckCommands();
    void OnStatusChanged(const QString& text, int value, int maximum);
    // The resting text in the message pane, elided to the room it has (full text as tool tip).
    void ShowRestingText();
    int MessageWidth() const;

    CGatewiseDoc* m_doc;
    CGatewiseView* m_view;
    QHash<int, QAction*> m_commands;
    QLabel* m_caps = nullptr;
    QLabel* m_num = nullptr;
    QLabel* m_scrl = nullptr;
    QProgressBar* m_progress = nullptr;
    QString m_restingText;       // what the message pane returns to when a menu prompt goes
    QString m_shownRestingText;  // the same as shown, elided
    bool m_initialUpdateDone = false;
    bool m_forcingTitle = false;
    std::function<int(QDialog&)> m_runAbout;
};
