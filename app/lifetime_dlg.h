#pragma once
// The "Mapping Lifetime Test" dialog: the longest idle time to try (MAX) and the STUN server to
// ask, Server1 of the settings when left empty. Nothing is looked up here; the test resolves a
// name on its own thread. User-interface thread only.

#include <QDialog>
#include <QString>
#include <optional>

#include "app/stun_server_dlg.h"

class QLabel;
class QLineEdit;
class QSpinBox;

class CLifetimeDlg : public QDialog {
    Q_OBJECT
public:
    // MAX in seconds: the command-line client's --lifetime range and default.
    static constexpr int kMinSeconds = 10;
    static constexpr int kMaxSeconds = 1200;
    static constexpr int kDefaultSeconds = 180;

    explicit CLifetimeDlg(QWidget* parent = nullptr);

    // In: what the fields open with. Out, after OK: the values as read; m_server empty means
    // Server1 of the settings.
    int m_maxSeconds = kDefaultSeconds;
    QString m_serverText;
    std::optional<StunServerText> m_server;

    QSpinBox* MaxBox() const { return m_maxBox; }
    QLineEdit* ServerEdit() const { return m_serverEdit; }
    // "The test takes at most 3 min 24 s." for the MAX shown.
    QString DurationText() const;

public slots:
    void accept() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QSpinBox* m_maxBox = nullptr;
    QLineEdit* m_serverEdit = nullptr;
    QLabel* m_duration = nullptr;
    bool m_initialised = false;
};
