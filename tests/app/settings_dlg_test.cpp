// The "STUN Setting" dialog and its command: what reaches STUN.ini and what does not.
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>

#include "core/settings.h"

#include "app/command_ids.h"
#include "app/ip_address_ctrl.h"
#include "app/stun_setting_dlg.h"
#include "app_fixture.h"

namespace apptest {
namespace {

// The address the control holds, dotted.
QString Stored(const CIpAddressCtrl& ctrl) {
    std::uint32_t a = 0;
    ctrl.GetAddress(a);
    return QStringLiteral("%1.%2.%3.%4")
        .arg(a >> 24)
        .arg((a >> 16) & 255)
        .arg((a >> 8) & 255)
        .arg(a & 255);
}

class SettingsDialog : public AppFixture {
protected:
    void SetUp() override {
        AppFixture::SetUp();
        MakeApp();
    }

    // Runs the command; edit changes the shown dialog, then "ok" or "cancel" ends it (a failed
    // OK leaves it open, which is then cancelled, as the user would give up).
    void RunCommand(const std::function<void(CStunSettingDlg&)>& edit, const char* button) {
        m_shown = false;
        View()->SetSettingsDialogRunner([&](CStunSettingDlg& dlg) {
            m_shown = true;
            dlg.show();
            m_caption = dlg.windowTitle();
            m_before = {dlg.Server1Address()->Field(0)->text(), dlg.Server1PortEdit()->text(),
                        dlg.Server2PortEdit()->text(), dlg.Row(0).name->text()};
            edit(dlg);
            auto* b =
                static_cast<QPushButton*>(dlg.GetDlgItem(button == std::string("ok") ? 1 : 2));
            QTest::mouseClick(b, Qt::LeftButton);
            m_stayedOpen = dlg.isVisible();
            if (dlg.isVisible())
                dlg.reject();
            return dlg.result();
        });
        Frame()->ExecuteCommand(cmd::kStunSetting);
    }

    bool m_shown = false;
    bool m_stayedOpen = false;
    QString m_caption;
    QStringList m_before;
};

TEST_F(SettingsDialog, WithoutAFileShowsTheDefaultsAndOkWritesThem) {
    QFile::remove(m_ini);
    CStunSettingDlg* seen = nullptr;
    QStringList addresses;
    RunCommand(
        [&](CStunSettingDlg& dlg) {
            seen = &dlg;
            for (CIpAddressCtrl* c :
                 {dlg.Server1Address(), dlg.Server2Address(), dlg.FriendAddress()}) {
                addresses.append(Stored(*c));
            }
            EXPECT_TRUE(static_cast<QPushButton*>(dlg.GetDlgItem(1))->isDefault());
        },
        "ok");
    ASSERT_TRUE(m_shown);
    EXPECT_EQ(m_caption, QStringLiteral("STUN Setting"));
    EXPECT_EQ(addresses, (QStringList{"192.168.0.55", "192.168.0.97", "0.0.0.0"}));
    EXPECT_EQ(m_before.mid(1, 2), (QStringList{"70", "1170"}));
    const QByteArray ini = ReadFile(m_ini);
    for (const char* line : {"STUN1_IP=192.168.0.55", "STUN1_PORT=70", "STUN2_IP=192.168.0.97",
                             "STUN2_PORT=1170", "FRIEND_IP=0.0.0.0"}) {
        EXPECT_TRUE(ini.contains(line)) << line << "\n" << ini.constData();
    }
}

TEST_F(SettingsDialog, CancelWritesNothingEvenAfterEdits) {
    const QByteArray before = ReadFile(m_ini);
    RunCommand([](CStunSettingDlg& dlg) { dlg.Server1PortEdit()->setText(QStringLiteral("9")); },
               "cancel");
    ASSERT_TRUE(m_shown);
    EXPECT_EQ(ReadFile(m_ini), before);
}

TEST_F(SettingsDialog, EscapeWritesNothing) {
    const QByteArray before = ReadFile(m_ini);
    View()->SetSettingsDialogRunner([](CStunSettingDlg& dlg) {
        dlg.show();
        dlg.Server2PortEdit()->setText(QStringLiteral("5"));
        QTest::keyClick(&dlg, Qt::Key_Escape);
        return dlg.result();
    });
    Frame()->ExecuteCommand(cmd::kStunSetting);
    EXPECT_EQ(ReadFile(m_ini), before);
}

TEST_F(SettingsDialog, PortThatIsNotAPositiveIntegerKeepsTheDialogOpen) {
    const QByteArray before = ReadFile(m_ini);
    for (const char* bad : {"abc", "", "12x", "-5", " "}) {
        m_messages.clear();
        RunCommand([bad](CStunSettingDlg& dlg) { dlg.Server2PortEdit()->setText(bad); }, "ok");
        EXPECT_TRUE(m_stayedOpen) << '"' << bad << '"';
        EXPECT_EQ(m_messages, QStringList{QStringLiteral("Please enter a positive integer.")})
            << '"' << bad << '"';
        EXPECT_EQ(ReadFile(m_ini), before) << '"' << bad << '"';
    }
}

// Ticks row's "Name" box and types name into the field it shows.
void ByName(CStunSettingDlg& dlg, int row, const char* name) {
    QTest::mouseClick(dlg.Row(row).byName, Qt::LeftButton);
    ASSERT_TRUE(dlg.Row(row).name->isVisible());
    ASSERT_EQ(dlg.focusWidget(), dlg.Row(row).name);
    QTest::keyClicks(dlg.Row(row).name, QString::fromLatin1(name));
}

// Values that would start no check are refused at OK, with a message and the dialog left open;
// the file stays as it was.
TEST_F(SettingsDialog, ValuesThatStartNoCheckAreRefusedAtOk) {
    struct Case {
        const char* name;
        std::function<void(CStunSettingDlg&)> edit;
        const char* message;
    };
    const auto clearServer1 = [](CStunSettingDlg& dlg) { dlg.Server1Address()->ClearAddress(); };
    const auto zeroServer2 = [](CStunSettingDlg& dlg) { dlg.Server2Address()->SetAddress(0); };
    const auto octet300 = [](CStunSettingDlg& dlg) {
        dlg.Server1Address()->Field(2)->setText(QStringLiteral("300"));
    };
    const auto friend256 = [](CStunSettingDlg& dlg) {
        dlg.FriendAddress()->SetAddress(0x7F000001u);
        dlg.FriendAddress()->Field(3)->setText(QStringLiteral("256"));
    };
    const char* badPort = "Please enter a port number from 1 to 65535.";
    // One row per line:
    // clang-format off
    const Case cases[] = {
        {.name = "port 0", .edit = [](CStunSettingDlg& dlg) { dlg.Server1PortEdit()->setText(QStringLiteral("0")); }, .message = badPort},
        {.name = "port 65536", .edit = [](CStunSettingDlg& dlg) { dlg.Server2PortEdit()->setText(QStringLiteral("65536")); }, .message = badPort},
        {.name = "port 65606 (70 in 16 bits)", .edit = [](CStunSettingDlg& dlg) { dlg.Server1PortEdit()->setText(QStringLiteral("65606")); }, .message = badPort},
        {.name = "blank server 1", .edit = clearServer1, .message = "Please enter the STUN Server1 address."},
        {.name = "server 2 of 0.0.0.0", .edit = zeroServer2, .message = "Please enter the STUN Server2 address."},
        {.name = "octet 300", .edit = octet300, .message = "An address field holds a number from 0 to 255; 300 is too large."},
        {.name = "friend octet 256", .edit = friend256, .message = "An address field holds a number from 0 to 255; 256 is too large."},
        {.name = "multicast server", .edit = [](CStunSettingDlg& dlg) { dlg.Server1Address()->SetAddress(0xE0000001u); }, .message = "The address 224.0.0.1 is a multicast address; please enter the address of one host."},
        {.name = "broadcast server", .edit = [](CStunSettingDlg& dlg) { dlg.Server2Address()->SetAddress(0xFFFFFFFFu); }, .message = "The address 255.255.255.255 is the broadcast address; please enter the address of one host."},
        {.name = "server in 0.0.0.0/8", .edit = [](CStunSettingDlg& dlg) { dlg.Server2Address()->SetAddress(0x00010203u); }, .message = "The address 0.1.2.3 is unspecified (0.0.0.0/8); please enter the address of one host."},
        {.name = "multicast friend", .edit = [](CStunSettingDlg& dlg) { dlg.FriendAddress()->SetAddress(0xEF010101u); }, .message = "The address 239.1.1.1 is a multicast address; please enter the address of one host."},
        {.name = "broadcast typed as a name", .edit = [](CStunSettingDlg& dlg) { ByName(dlg, 1, "255.255.255.255"); }, .message = "The address 255.255.255.255 is the broadcast address; please enter the address of one host."},
        {.name = "blank name", .edit = [](CStunSettingDlg& dlg) { ByName(dlg, 0, " "); }, .message = "Please enter the STUN Server1 address."},
        {.name = "name that is no host name", .edit = [](CStunSettingDlg& dlg) { ByName(dlg, 2, "a b"); }, .message = "\"a b\" is not a dotted IPv4 address or host name."},
    };
    // clang-format on
    const QByteArray before = ReadFile(m_ini);
    for (const Case& c : cases) {
        m_messages.clear();
        RunCommand(c.edit, "ok");
        EXPECT_TRUE(m_stayedOpen) << c.name;
        EXPECT_EQ(m_messages, QStringList{QString::fromLatin1(c.message)}) << c.name;
        EXPECT_EQ(ReadFile(m_ini), before) << c.name;
    }
    // The limits themselves are ports.
    RunCommand(
        [](CStunSettingDlg& dlg) {
            dlg.Server1PortEdit()->setText(QStringLiteral("1"));
            dlg.Server2PortEdit()->setText(QStringLiteral("65535"));
        },
        "ok");
    EXPECT_FALSE(m_stayedOpen);
    EXPECT_TRUE(ReadFile(m_ini).contains("STUN1_PORT=1\r\n")) << ReadFile(m_ini).constData();
    EXPECT_TRUE(ReadFile(m_ini).contains("STUN2_PORT=65535\r\n")) << ReadFile(m_ini).constData();
}

// A file that starts no check (a zero or unreadable value) still opens the dialog, filled with
// the file's texts, so the user can mend it there.
TEST_F(SettingsDialog, SettingsThatStartNoCheckOpenTheDialogToBeMended) {
    struct Case {
        const char* ini;
        QStringList shown;  // server 1's first field, port 1, port 2, server 1's name
    };
    // One row per line:
    // clang-format off
    const Case cases[] = {
        {.ini = "[Setting]\r\nSTUN1_IP=127.0.0.2\r\nSTUN1_PORT=0\r\nSTUN2_IP=127.0.0.3\r\nSTUN2_PORT=47912\r\n", .shown = {"127", "0", "47912", ""}},
        {.ini = "[Setting]\r\nSTUN1_IP=0.0.0.0\r\nSTUN1_PORT=47911\r\nSTUN2_IP=127.0.0.3\r\nSTUN2_PORT=abc\r\n", .shown = {"0", "47911", "abc", ""}},
        {.ini = "[Setting]\r\nSTUN1_IP=not an address\r\nSTUN1_PORT=47911\r\nSTUN2_IP=127.0.0.3\r\nSTUN2_PORT=47912\r\n", .shown = {"", "47911", "47912", "not an address"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        WriteIni(c.ini);
        m_messages.clear();
        RunCommand(
            [](CStunSettingDlg& dlg) {
                dlg.Row(0).byName->setChecked(false);
                dlg.Server1Address()->SetAddress(0x7F00000Au);  // 127.0.0.10
                dlg.Server1PortEdit()->setText(QStringLiteral("3478"));
                dlg.Server2PortEdit()->setText(QStringLiteral("3479"));
            },
            "ok");
        ASSERT_TRUE(m_shown) << c.ini;
        EXPECT_EQ(m_before, c.shown) << c.ini;
        EXPECT_FALSE(m_stayedOpen) << c.ini;
        EXPECT_TRUE(m_messages.isEmpty()) << c.ini;
        StunSettings mended;
        EXPECT_TRUE(LoadSettings(mended, m_ini.toStdString())) << ReadFile(m_ini).constData();
    }
}

// The dialog shows STUN.ini as written: a host name in a name field (it used to be a blank
// address that OK refused), a port that is no port as it is, flagged and refused at OK (70000 used
// to show as 4464). What the user leaves alone keeps the file's text exactly.
TEST_F(SettingsDialog, FileTextsAreShownAsWrittenAndKeptUnlessChanged) {
    struct Case {
        const char* name;
        SettingsText file;
        std::function<void(CStunSettingDlg&)> edit;
        QStringList shown;         // the five, in file order: "(name)" and "(error)" marked
        SettingsText saved{};      // what the file then holds
        const char* message = "";  // "": OK closes
    };
    const SettingsText hosts{.server1Ip = "stun1.example.net",
                             .server1Port = "3478",
                             .server2Ip = "127.0.0.3",
                             .server2Port = "3479",
                             .friendIp = "friend.example.net"};
    const SettingsText oddForms{.server1Ip = "127.1",
                                .server1Port = "03478",
                                .server2Ip = "127.0.0.3",
                                .server2Port = "3479",
                                .friendIp = "0.0.0.0"};
    const QStringList hostsShown{"stun1.example.net (name)", "3478", "127.0.0.3", "3479",
                                 "friend.example.net (name)"};
    const auto port2 = [](const char* text) {
        return [text](CStunSettingDlg& dlg) {
            dlg.Server2PortEdit()->setText(QString::fromLatin1(text));
        };
    };
    SettingsText hostsPort2 = hosts;
    hostsPort2.server2Port = "3480";
    SettingsText oddPort2 = oddForms;
    oddPort2.server2Port = "3480";
    SettingsText port70000 = oddForms;
    port70000.server2Port = "70000";
    SettingsText junkName = oddForms;
    junkName.server1Ip = "a b";
    // One row per line:
    // clang-format off
    const Case cases[] = {
        {.name = "host names kept when a port changes", .file = hosts, .edit = port2("3480"), .shown = hostsShown, .saved = hostsPort2},
        {.name = "odd forms kept when unchanged", .file = oddForms, .edit = port2("3480"), .shown = {"127.0.0.1", "03478", "127.0.0.3", "3479", "0.0.0.0"}, .saved = oddPort2},
        {.name = "changed values written plainly", .file = oddForms, .edit = [](CStunSettingDlg& dlg) { dlg.Server1Address()->SetAddress(0x7F00000Au); dlg.Server1PortEdit()->setText(QStringLiteral("3478")); }, .shown = {"127.0.0.1", "03478", "127.0.0.3", "3479", "0.0.0.0"}, .saved = {.server1Ip = "127.0.0.10", .server1Port = "3478", .server2Ip = "127.0.0.3", .server2Port = "3479", .friendIp = "0.0.0.0"}},
        {.name = "a name typed", .file = oddForms, .edit = [](CStunSettingDlg& dlg) { ByName(dlg, 1, " stun2.example.net "); }, .shown = {"127.0.0.1", "03478", "127.0.0.3", "3479", "0.0.0.0"}, .saved = {.server1Ip = "127.1", .server1Port = "03478", .server2Ip = "stun2.example.net", .server2Port = "3479", .friendIp = "0.0.0.0"}},
        {.name = "a name given up", .file = hosts, .edit = [](CStunSettingDlg& dlg) { dlg.Row(0).byName->setChecked(false); dlg.Server1Address()->SetAddress(0x7F00000Au); }, .shown = hostsShown, .saved = {.server1Ip = "127.0.0.10", .server1Port = "3478", .server2Ip = "127.0.0.3", .server2Port = "3479", .friendIp = "friend.example.net"}},
        {.name = "port out of range", .file = port70000, .edit = [](CStunSettingDlg&) {}, .shown = {"127.0.0.1", "03478", "127.0.0.3", "70000 (error)", "0.0.0.0"}, .message = "Please enter a port number from 1 to 65535."},
        {.name = "port out of range mended", .file = port70000, .edit = port2("3480"), .shown = {"127.0.0.1", "03478", "127.0.0.3", "70000 (error)", "0.0.0.0"}, .saved = oddPort2},
        {.name = "port that is no number", .file = oddForms, .edit = port2("abc"), .shown = {"127.0.0.1", "03478", "127.0.0.3", "3479", "0.0.0.0"}, .message = "Please enter a positive integer."},
        {.name = "junk kept as written", .file = junkName, .edit = [](CStunSettingDlg&) {}, .shown = {"a b (name)", "03478", "127.0.0.3", "3479", "0.0.0.0"}, .message = "\"a b\" is not a dotted IPv4 address or host name."},
    };
    // clang-format on
    for (const Case& c : cases) {
        ASSERT_TRUE(SaveSettingsText(c.file, m_ini.toStdString())) << c.name;
        const QByteArray before = ReadFile(m_ini);
        m_messages.clear();
        QStringList shown;
        RunCommand(
            [&](CStunSettingDlg& dlg) {
                for (int i = 0; i < 3; ++i) {
                    const CStunSettingDlg::AddressRow& row = dlg.Row(i);
                    shown.append(row.byName->isChecked() ? row.name->text() + " (name)"
                                                         : Stored(*row.address));
                    if (i < 2) {
                        QLineEdit* port = i == 0 ? dlg.Server1PortEdit() : dlg.Server2PortEdit();
                        shown.append(port->text() +
                                     (dlg.PortError(i)->isVisible() ? " (error)" : ""));
                    }
                }
                c.edit(dlg);
                EXPECT_FALSE(dlg.PortError(1)->isVisible() && *c.message == '\0') << c.name;
            },
            "ok");
        EXPECT_EQ(shown.join(QLatin1Char('|')).toStdString(),
                  c.shown.join(QLatin1Char('|')).toStdString())
            << c.name;
        EXPECT_EQ(m_stayedOpen, *c.message != '\0') << c.name;
        if (*c.message != '\0') {
            EXPECT_EQ(m_messages, QStringList{QString::fromLatin1(c.message)}) << c.name;
            EXPECT_EQ(ReadFile(m_ini), before) << c.name;
        } else {
            EXPECT_EQ(LoadSettingsText(m_ini.toStdString()), c.saved) << c.name;
        }
    }
}

// A blanked friend is stored as 0.0.0.0, which is "no friend" and blocks nothing.
TEST_F(SettingsDialog, BlankedFriendIsStoredAsZero) {
    WriteIni(
        "[Setting]\r\nSTUN1_IP=127.0.0.2\r\nSTUN1_PORT=47911\r\nSTUN2_IP=127.0.0.3\r\n"
        "STUN2_PORT=47912\r\nFRIEND_IP=127.0.0.9\r\n");
    RunCommand([](CStunSettingDlg& dlg) { dlg.FriendAddress()->ClearAddress(); }, "ok");
    EXPECT_TRUE(ReadFile(m_ini).contains("FRIEND_IP=0.0.0.0")) << ReadFile(m_ini).constData();
    RunCommand([](CStunSettingDlg&) {}, "cancel");
    EXPECT_TRUE(m_shown);
}

TEST_F(SettingsDialog, EditedValuesReachTheFileAndOtherKeysSurvive) {
    RunCommand(
        [](CStunSettingDlg& dlg) {
            dlg.Server1Address()->SetAddress(0x7F00000Au);  // 127.0.0.10
            dlg.Server1PortEdit()->setText(QStringLiteral(" 3478 "));
        },
        "ok");
    const QByteArray ini = ReadFile(m_ini);
    EXPECT_TRUE(ini.contains("STUN1_IP=127.0.0.10")) << ini.constData();
    EXPECT_TRUE(ini.contains("STUN1_PORT=3478")) << ini.constData();
    EXPECT_TRUE(ini.contains("REPORT=report@tarnwick.test")) << ini.constData();
}

// A file that cannot be written used to fail silently after OK. Now OK names the file and the
// reason and leaves the dialog open with the values typed, and once the cause is mended the same
// OK stores them. The causes fail for root as well (no permission bits involved).
TEST_F(SettingsDialog, UnwritableFileKeepsTheDialogOpenUntilMended) {
    struct Case {
        const char* name;
        QString path;
        std::function<void()> spoil;
        std::function<void()> mend;
    };
    const QString missingFolder = Path("missing");
    const QString folderAsFile = Path("folder.ini");
    const Case cases[] = {
        {.name = "folder missing",
         .path = missingFolder + QStringLiteral("/STUN.ini"),
         .spoil = [] {},
         .mend = [&] { QDir().mkpath(missingFolder); }},
        {.name = "a folder where the file goes",
         .path = folderAsFile,
         .spoil = [&] { QDir().mkpath(folderAsFile); },
         .mend = [&] { QDir().rmdir(folderAsFile); }},
    };
    for (const Case& c : cases) {
        c.spoil();
        View()->SetSettingsPath(c.path.toStdString());
        m_messages.clear();
        bool openAfterFirstOk = false;
        bool openAfterMendedOk = true;
        QString portShownAfterFailure;
        View()->SetSettingsDialogRunner([&](CStunSettingDlg& dlg) {
            dlg.show();
            dlg.Server1PortEdit()->setText(QStringLiteral("4242"));
            auto* ok = static_cast<QPushButton*>(dlg.GetDlgItem(1));
            QTest::mouseClick(ok, Qt::LeftButton);
            openAfterFirstOk = dlg.isVisible();
            portShownAfterFailure = dlg.Server1PortEdit()->text();
            c.mend();
            QTest::mouseClick(ok, Qt::LeftButton);
            openAfterMendedOk = dlg.isVisible();
            if (dlg.isVisible())
                dlg.reject();
            return dlg.result();
        });
        Frame()->ExecuteCommand(cmd::kStunSetting);
        EXPECT_TRUE(openAfterFirstOk) << c.name;
        EXPECT_EQ(portShownAfterFailure, QStringLiteral("4242")) << c.name;
        ASSERT_EQ(m_messages.size(), 1) << c.name;
        EXPECT_TRUE(m_messages[0].contains(QLatin1Char('"') + c.path + QLatin1Char('"')))
            << c.name << ": " << m_messages[0].toStdString();
        // A reason from the system, not only "cannot be written".
        EXPECT_TRUE(m_messages[0].contains(QStringLiteral("\": ")) &&
                    !m_messages[0].contains(QStringLiteral("it cannot be written")))
            << c.name << ": " << m_messages[0].toStdString();
        EXPECT_FALSE(openAfterMendedOk) << c.name;
        EXPECT_TRUE(ReadFile(c.path).contains("STUN1_PORT=4242")) << c.name;
    }
}

TEST(SettingsParts, UnsignedDecimalParsing) {
    struct Row {
        const char* text;
        bool ok;
        std::uint32_t value;
    };
    const Row rows[] = {
        {"0", true, 0},           {"70", true, 70},
        {" 1170 ", true, 1170},   {"4294967295", true, 4294967295u},
        {"4294967296", false, 0}, {"", false, 0},
        {"  ", false, 0},         {"+5", false, 0},
        {"-1", false, 0},         {"1 2", false, 0},
        {"0x10", false, 0},
    };
    for (const Row& row : rows) {
        std::uint32_t v = 0;
        EXPECT_EQ(ParseUnsignedDecimal(QString::fromLatin1(row.text), v), row.ok) << row.text;
        if (row.ok) {
            EXPECT_EQ(v, row.value) << row.text;
        }
    }
}

TEST(SettingsParts, AddressControlReadsBlankFieldsAsZero) {
    CIpAddressCtrl ctrl;
    ctrl.SetAddress(0xC0A80037u);  // 192.168.0.55
    EXPECT_EQ(ctrl.Field(0)->text(), QStringLiteral("192"));
    EXPECT_EQ(ctrl.Field(3)->text(), QStringLiteral("55"));
    ctrl.Field(2)->clear();
    ctrl.Field(3)->setText(QStringLiteral("999"));  // a field holds at most 255
    std::uint32_t a = 1;
    EXPECT_EQ(ctrl.GetAddress(a), 3);
    EXPECT_EQ(a, 0xC0A800FFu);
    EXPECT_EQ(ctrl.InvalidField(), 3);
    ctrl.ClearAddress();
    EXPECT_TRUE(ctrl.IsBlank());
    EXPECT_EQ(ctrl.GetAddress(a), 0);
    EXPECT_EQ(a, 0u);
}

// Types text key by key wherever the control has put the focus, as a user at the keyboard does.
void TypeInto(CIpAddressCtrl& ctrl, const char* text) {
    ctrl.Field(0)->setFocus();
    ctrl.Field(0)->selectAll();
    for (const char* c = text; *c != '\0'; ++c) {
        QWidget* focused = ctrl.window()->focusWidget();
        ASSERT_NE(focused, nullptr) << text;
        QTest::keyClick(focused, *c);
    }
}

QString Dotted(const CIpAddressCtrl& ctrl) {
    QStringList fields;
    for (int i = 0; i < 4; ++i)
        fields.append(ctrl.Field(i)->text());
    return fields.join(QLatin1Char('.'));
}

// The control moves on by itself after three digits; a '.' typed right after that move ends the
// octet already ended and is swallowed, over a filled control as over a blank one.
TEST(AddressTyping, DotAfterAnAutomaticMoveIsSwallowed) {
    struct Row {
        std::uint32_t before;  // 0: blank
        const char* typed;
        const char* shown;
    };
    // One row per line:
    // clang-format off
    const Row rows[] = {
        {.before = 0x0A000001u, .typed = "192.168.1.20", .shown = "192.168.1.20"},
        {.before = 0, .typed = "192.168.1.20", .shown = "192.168.1.20"},
        {.before = 0x0A000001u, .typed = "10.200.3.100", .shown = "10.200.3.100"},
        {.before = 0x0A000001u, .typed = "1.2.3.4", .shown = "1.2.3.4"},
        {.before = 0, .typed = "127001002003", .shown = "127.001.002.003"},
        {.before = 0x0A000001u, .typed = "100.200.250.255", .shown = "100.200.250.255"},
    };
    // clang-format on
    for (const Row& row : rows) {
        QWidget window;
        auto* ctrl = new CIpAddressCtrl(&window);
        window.show();
        if (row.before != 0)
            ctrl->SetAddress(row.before);
        TypeInto(*ctrl, row.typed);
        EXPECT_EQ(Dotted(*ctrl), QString::fromLatin1(row.shown)) << row.typed;
    }
}

// Keys for TypeKeys beyond the characters themselves.
constexpr char kBackspace = '\b';
constexpr char kCtrlV = '\x16';
constexpr char kMenuPaste = '\x10';  // Paste in the field's context menu
constexpr int kClick = -2;           // a mouse click in the middle of the field
constexpr int kSelectAll = -1;

// Starts in field at caret (or kClick, kSelectAll) and types keys where the focus goes.
void TypeKeys(CIpAddressCtrl& ctrl, int field, int caret, const char* keys) {
    QLineEdit* start = ctrl.Field(field);
    start->setFocus();
    if (caret == kClick) {
        QTest::mouseClick(start, Qt::LeftButton, {}, start->rect().center());
        ASSERT_FALSE(start->hasSelectedText());
    } else if (caret == kSelectAll) {
        start->selectAll();
    } else {
        start->setCursorPosition(caret);
    }
    for (const char* c = keys; *c != '\0'; ++c) {
        QWidget* focused = ctrl.window()->focusWidget();
        ASSERT_NE(focused, nullptr) << keys;
        if (*c == kBackspace) {
            QTest::keyClick(focused, Qt::Key_Backspace);
        } else if (*c == kCtrlV) {
            QTest::keyClick(focused, Qt::Key_V, Qt::ControlModifier);
        } else if (*c == kMenuPaste) {
            QTimer::singleShot(0, [] {
                auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
                ASSERT_NE(menu, nullptr);
                for (QAction* action : menu->actions()) {
                    if (action->text().startsWith(QStringLiteral("&Paste")))
                        action->trigger();
                }
                menu->close();
            });
            QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(1, 1),
                                    focused->mapToGlobal(QPoint(1, 1)));
            QApplication::sendEvent(focused, &event);
        } else {
            QTest::keyClick(focused, *c);
        }
    }
}

// What is typed is what is stored. A full field used to drop the digits typed into it without a
// sign while '.' moved on: clicked into "127", "10.1.2.3" became 127.1.2.3.
TEST(AddressTyping, TypedSequencesAreStoredAsTyped) {
    struct Row {
        const char* name;
        std::uint32_t before;  // 0: blank
        int field;
        int caret;
        const char* keys;
        const char* stored;
        const char* clipboard = "";
        int messages = 0;
    };
    const std::uint32_t k127 = 0x7F000001u;
    // One row per line:
    // clang-format off
    const Row rows[] = {
        {.name = "clicked into a full field", .before = k127, .field = 0, .caret = kClick, .keys = "10.1.2.3", .stored = "10.1.2.3"},
        {.name = "caret at the end of a full field", .before = k127, .field = 0, .caret = 3, .keys = "10.1.2.3", .stored = "10.1.2.3"},
        {.name = "caret at the start of a full field", .before = k127, .field = 0, .caret = 0, .keys = "5.1", .stored = "5.1.0.1"},
        {.name = "full field selected", .before = k127, .field = 0, .caret = kSelectAll, .keys = "10.1.2.3", .stored = "10.1.2.3"},
        {.name = "full last field", .before = 0x0A0000FFu, .field = 3, .caret = kClick, .keys = "9", .stored = "10.0.0.9"},
        {.name = "blank control", .before = 0, .field = 0, .caret = 0, .keys = "10.1.2.3", .stored = "10.1.2.3"},
        {.name = "backspace in a field", .before = k127, .field = 0, .caret = 3, .keys = "\b\b0.1.2.3", .stored = "10.1.2.3"},
        {.name = "backspace back over the dot", .before = 0, .field = 0, .caret = 0, .keys = "10.1\b\b\b2", .stored = "12.0.0.0"},
        {.name = "a dot in a blank field stays", .before = 0, .field = 0, .caret = 0, .keys = ".5", .stored = "5.0.0.0"},
        {.name = "three digits move on", .before = 0, .field = 0, .caret = 0, .keys = "2555", .stored = "255.5.0.0"},
        {.name = "above 255 is reported, then typed over", .before = 0, .field = 0, .caret = 0, .keys = "10.300" "25.1.1", .stored = "10.25.1.1", .messages = 1},
        {.name = "pasted address fills the control", .before = k127, .field = 2, .caret = kClick, .keys = "\x16", .stored = "10.1.2.3", .clipboard = " 10.1.2.3 "},
        {.name = "pasted from the menu", .before = k127, .field = 1, .caret = kClick, .keys = "\x10", .stored = "192.168.0.55", .clipboard = "192.168.0.55"},
        {.name = "pasted digits go into the field", .before = k127, .field = 1, .caret = kSelectAll, .keys = "\x16", .stored = "127.42.0.1", .clipboard = "42"},
        {.name = "pasted text that is no address changes nothing", .before = k127, .field = 1, .caret = kSelectAll, .keys = "\x16", .stored = "127.0.0.1", .clipboard = "10.1.2"},
    };
    // clang-format on
    for (const Row& row : rows) {
        int messages = 0;
        SetAppMessageHook([&](const QString&) { ++messages; });
        QApplication::clipboard()->setText(QString::fromLatin1(row.clipboard));
        QWidget window;
        auto* ctrl = new CIpAddressCtrl(&window);
        window.show();
        if (row.before != 0)
            ctrl->SetAddress(row.before);
        TypeKeys(*ctrl, row.field, row.caret, row.keys);
        EXPECT_EQ(Stored(*ctrl).toStdString(), row.stored) << row.name;
        EXPECT_EQ(messages, row.messages) << row.name;
        SetAppMessageHook({});
    }
}

// A three-digit field above 255 is reported at once and keeps the focus, its text and a red mark
// (no silent 255); mended, the mark goes.
TEST(AddressTyping, OctetAbove255IsReportedAndStaysInError) {
    QStringList messages;
    SetAppMessageHook([&](const QString& text) { messages.append(text); });
    QWidget window;
    auto* ctrl = new CIpAddressCtrl(&window);
    window.show();
    const QColor normal = ctrl->Field(1)->palette().color(QPalette::Text);
    TypeInto(*ctrl, "10.300");
    EXPECT_EQ(messages,
              QStringList{"An address field holds a number from 0 to 255; 300 is too large."});
    EXPECT_EQ(window.focusWidget(), ctrl->Field(1));
    EXPECT_EQ(ctrl->Field(1)->text(), QStringLiteral("300"));
    EXPECT_EQ(ctrl->InvalidField(), 1);
    EXPECT_EQ(ctrl->Field(1)->palette().color(QPalette::Text), QColor(Qt::red));
    ctrl->Field(1)->setText(QStringLiteral("25"));
    EXPECT_EQ(ctrl->InvalidField(), -1);
    EXPECT_EQ(ctrl->Field(1)->palette().color(QPalette::Text), normal);
    SetAppMessageHook({});
}

}  // namespace
}  // namespace apptest
