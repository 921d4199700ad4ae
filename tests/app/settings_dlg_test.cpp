// The "STUN Setting" dialog and its command: what reaches STUN.ini and what does not.
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "app/command_ids.h"
#include "app/ip_address_ctrl.h"
#include "app/stun_setting_dlg.h"
#include "app_fixture.h"

namespace apptest {
namespace {

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
                        dlg.Server2PortEdit()->text()};
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
                std::uint32_t a = 0;
                c->GetAddress(a);
                addresses.append(QStringLiteral("%1.%2.%3.%4")
                                     .arg(a >> 24)
                                     .arg((a >> 16) & 255)
                                     .arg((a >> 8) & 255)
                                     .arg(a & 255));
            }
            EXPECT_TRUE(static_cast<QPushButton*>(dlg.GetDlgItem(1))->isDefault());
        },
        "ok");
    ASSERT_TRUE(m_shown);
    EXPECT_EQ(m_caption, QStringLiteral("STUN Setting"));
    EXPECT_EQ(addresses, (QStringList{"192.168.0.55", "192.168.0.97", "0.0.0.0"}));
    EXPECT_EQ(m_before.mid(1), (QStringList{"70", "1170"}));
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

TEST_F(SettingsDialog, PortAboveTheRangeIsStoredAsItsLow16Bits) {
    RunCommand(
        [](CStunSettingDlg& dlg) { dlg.Server1PortEdit()->setText(QStringLiteral("65606")); },
        "ok");
    EXPECT_FALSE(m_stayedOpen);
    EXPECT_TRUE(ReadFile(m_ini).contains("STUN1_PORT=70\r\n") ||
                ReadFile(m_ini).contains("STUN1_PORT=70\n"))
        << ReadFile(m_ini).constData();
}

// A blanked address is stored as 0.0.0.0. A zero server then keeps the command from showing the
// dialog (the file no longer loads); a zero friend is only "no friend" and blocks nothing.
TEST_F(SettingsDialog, BlankedAddressIsStoredAsZero) {
    struct Case {
        const char* name;
        const char* ini;  // null: the fixture's file
        CIpAddressCtrl* (CStunSettingDlg::*address)() const;
        const char* stored;
        bool shownAgain;
    };
    const char* withFriend =
        "[Setting]\r\nSTUN1_IP=127.0.0.2\r\nSTUN1_PORT=47911\r\nSTUN2_IP=127.0.0.3\r\n"
        "STUN2_PORT=47912\r\nFRIEND_IP=127.0.0.9\r\n";
    // One row per line:
    // clang-format off
    const Case cases[] = {
        {.name = "server", .ini = nullptr, .address = &CStunSettingDlg::Server2Address, .stored = "STUN2_IP=0.0.0.0", .shownAgain = false},
        {.name = "friend", .ini = withFriend, .address = &CStunSettingDlg::FriendAddress, .stored = "FRIEND_IP=0.0.0.0", .shownAgain = true},
    };
    // clang-format on
    for (const Case& c : cases) {
        if (c.ini != nullptr)
            WriteIni(c.ini);
        RunCommand([&c](CStunSettingDlg& dlg) { (dlg.*c.address)()->ClearAddress(); }, "ok");
        EXPECT_TRUE(ReadFile(m_ini).contains(c.stored)) << c.name;
        RunCommand([](CStunSettingDlg&) {}, c.shownAgain ? "cancel" : "ok");
        EXPECT_EQ(m_shown, c.shownAgain) << c.name;
    }
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
    ctrl.ClearAddress();
    EXPECT_TRUE(ctrl.IsBlank());
    EXPECT_EQ(ctrl.GetAddress(a), 0);
    EXPECT_EQ(a, 0u);
}

}  // namespace
}  // namespace apptest
