#pragma once
// The "Standard STUN Check" dialog: a standard STUN server as "host[:port]" and, optionally, a
// second one for the mapping test of servers without RFC 5780. Nothing is looked up here; the
// check resolves names on its own thread. User-interface thread only.

#include <QDialog>
#include <QString>
#include <cstdint>
#include <optional>
#include <string>

class QLineEdit;

// The port a server written without one is asked on (RFC 8489's default for STUN over UDP).
inline constexpr std::uint16_t kDefaultStunPort = 3478;

// A server as typed: a host name or dotted IPv4 address (not yet resolved) and a port.
struct StunServerText {
    std::string host;
    std::uint16_t port = kDefaultStunPort;
    bool operator==(const StunServerText&) const = default;
};

// Reads "host[:port]" with blanks around it allowed. The host is a dotted IPv4 address other than
// 0.0.0.0 or text shaped like a host name (LooksLikeHostName); the port, when given, is decimal
// from 1 to 65535. On failure, why holds the message the dialog shows.
std::optional<StunServerText> ParseStunServerText(const QString& text, QString& why);

class CStunServerDlg : public QDialog {
    Q_OBJECT
public:
    explicit CStunServerDlg(QWidget* parent = nullptr);

    // In: the texts the fields open with. Out, after OK: the texts as read (trimmed) and parsed.
    QString m_serverText;
    QString m_server2Text;  // "" = no second server
    StunServerText m_server;
    std::optional<StunServerText> m_server2;

    QLineEdit* ServerEdit() const { return m_serverEdit; }
    QLineEdit* Server2Edit() const { return m_server2Edit; }

    // Reads and checks the fields; false (message shown, focus on the field) when one is bad.
    bool ReadControls();

public slots:
    void accept() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QLineEdit* m_serverEdit = nullptr;
    QLineEdit* m_server2Edit = nullptr;
    bool m_initialised = false;
};
