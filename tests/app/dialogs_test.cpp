// The about box, the hyperlink control and the result dialog with its presenter.
#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QtEndian>

#include "app/about_dlg.h"
#include "app/command_ids.h"
#include "app/hyperlink.h"
#include "app/result_dlg.h"
#include "app_fixture.h"
#include "core/settings.h"
#include "engine/p2p_meaning.h"
#include "gatewise_version.h"

namespace apptest {
namespace {

void MoveMouse(QWidget* w, QPoint pos) {
    QMouseEvent move(QEvent::MouseMove, QPointF(pos), w->mapToGlobal(QPointF(pos)), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &move);
}

// A link of 100 x 20 pixels in a shown dialog; the links it opens are recorded, not opened.
class HyperLinkInDialog : public ::testing::Test {
protected:
    HyperLinkInDialog() : link(new CHyperLink(QStringLiteral("tarnwick"), &dialog)) {
        link->resize(100, 20);
        dialog.show();
    }

    UrlRecorder urls{"https"};
    QDialog dialog;
    CHyperLink* link;  // owned by dialog
};

TEST_F(HyperLinkInDialog, HoverTurnsRedAndLeavingTurnsBlueAlsoAfterAVisit) {
    const QColor red(255, 0, 0);
    const QColor blue(0, 0, 255);
    EXPECT_EQ(link->CurrentTextColor(), blue);
    EXPECT_EQ(link->palette().color(QPalette::WindowText), blue);
    EXPECT_TRUE(link->font().underline());
    EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);

    MoveMouse(link, {10, 10});
    EXPECT_TRUE(link->IsHovering());
    EXPECT_EQ(link->palette().color(QPalette::WindowText), red);
    MoveMouse(link, {150, 10});  // outside the control
    EXPECT_EQ(link->palette().color(QPalette::WindowText), blue);

    QTest::mouseClick(link, Qt::LeftButton, Qt::NoModifier, {10, 10});
    EXPECT_TRUE(link->IsVisited());
    MoveMouse(link, {10, 10});
    EXPECT_EQ(link->palette().color(QPalette::WindowText), red);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(link, &leave);
    EXPECT_EQ(link->palette().color(QPalette::WindowText), blue);
}

TEST_F(HyperLinkInDialog, ClickOpensTheMakersPageAndLeavesTheDialogOpen) {
    QTest::mouseClick(link, Qt::LeftButton, Qt::NoModifier, {10, 10});
    ASSERT_EQ(urls.opened.size(), 1);
    EXPECT_EQ(urls.opened[0].toString(), QString::fromLatin1(kMakerWebPage));
    EXPECT_TRUE(dialog.isVisible());
    // A right click is not a click on the link.
    QTest::mouseClick(link, Qt::RightButton, Qt::NoModifier, {10, 10});
    EXPECT_EQ(urls.opened.size(), 1);
}

TEST(HyperLink, StaysUnderlinedInWhateverFontTheDialogGives) {
    CHyperLink link(QStringLiteral("x"));
    link.setFont(QFont(QStringLiteral("DejaVu Serif"), 14));
    EXPECT_TRUE(link.font().underline());
    EXPECT_EQ(link.font().pointSize(), 14);
}

TEST(AboutBox, CaptionTextsAndOk) {
    CAboutDlg dlg;
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("About Tarnwick NAT Detector"));
    QStringList texts;
    for (QLabel* l : dlg.findChildren<QLabel*>())
        texts.append(l->text());
    EXPECT_TRUE(texts.contains(QStringLiteral("Tarnwick NAT Detector Version " GATEWISE_VERSION)));
    EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [](const QString& t) {
        return t.contains(QStringLiteral("Copyright"));
    }));
    dlg.show();
    QTest::mouseClick(static_cast<QPushButton*>(dlg.GetDlgItem(1)), Qt::LeftButton);
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_FALSE(dlg.isVisible());
}

TEST(ResultDialog, ShowsLinesInLowerCaseAndHidesTheUnusedOnes) {
    CResultDlg dlg;
    dlg.m_lines = {"NAT INCOMING PACKAGES FILTER :    UNKNOWN", "UDP LOOPBACK: YES (Ok)"};
    dlg.show();
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("NAT"));
    auto text = [&](int id) { return static_cast<QLabel*>(dlg.GetDlgItem(id))->text(); };
    EXPECT_TRUE(dlg.GetDlgItem(1007)->isVisible());
    EXPECT_EQ(text(1007), QStringLiteral("nat incoming packages filter :    unknown"));
    EXPECT_EQ(text(1008), QStringLiteral("udp loopback: yes (ok)"));
    for (int id = 1009; id <= 1012; ++id)
        EXPECT_FALSE(dlg.GetDlgItem(id)->isVisible()) << id;
    EXPECT_TRUE(dlg.ReportBox()->isChecked());
    EXPECT_EQ(dlg.ReportBox()->text(), QStringLiteral("Report result"));
    EXPECT_EQ(dlg.GetDlgItem(1013), dlg.m_webLink);
}

TEST(ResultDialog, SeventhLineIsNotShown) {
    CResultDlg dlg;
    dlg.m_lines = {"A", "B", "C", "D", "E", "F", "G"};
    dlg.show();
    for (int id = 1007; id <= 1012; ++id)
        EXPECT_TRUE(dlg.GetDlgItem(id)->isVisible()) << id;
    EXPECT_EQ(static_cast<QLabel*>(dlg.GetDlgItem(1012))->text(), QStringLiteral("f"));
}

TEST(ResultDialog, OnlyAsciiCapitalsChange) {
    EXPECT_EQ(ToLowerAsciiLetters("AZ az 09 [@`] \xC4\xD6"), "az az 09 [@`] \xC4\xD6");
}

TEST(ResultDetails, PublicEndpointFromTheWireOrderOutcome) {
    struct Row {
        const char* name;
        std::uint32_t mappedIp;  // host order here, the outcome holds network order
        std::uint16_t mappedPort;
        const char* line;
    };
    const Row rows[] = {
        {.name = "reported",
         .mappedIp = 0xCB007105u,
         .mappedPort = 40000,
         .line = "Public address and port: 203.0.113.5:40000"},
        {.name = "no reply",
         .mappedIp = 0,
         .mappedPort = 0,
         .line = "Public address and port: not known (no server reported it)"},
    };
    for (const Row& row : rows) {
        CheckOutcome outcome;
        outcome.filterType = FilterPortRestricted;
        outcome.mappedIp = qToBigEndian(row.mappedIp);
        outcome.mappedPort = qToBigEndian(row.mappedPort);
        const ResultDetails details = DetailsOfCheck(outcome, false);
        EXPECT_EQ(PublicEndpointLine(details), row.line) << row.name;
        ASSERT_FALSE(details.meaning.empty()) << row.name;
        EXPECT_EQ(details.meaning.front(), kP2pHeading) << row.name;
        EXPECT_EQ(DetailsLines(details).back(), row.line) << row.name;
    }
}

// A dialog with two verdicts and a short stand-in for the meaning block.
class ResultDialogDetails : public ::testing::Test {
protected:
    ResultDialogDetails() {
        dlg.m_lines = {"NAT INCOMING PACKAGES FILTER :    OPEN", "UDP LOOPBACK: YES"};
        dlg.m_details.meaning = {kP2pHeading, "", "No NAT."};
        dlg.m_details.publicEndpoint = Ipv4Endpoint{qToBigEndian(0x7F000001u), 9802};
        dlg.show();
    }
    CResultDlg dlg;
};

TEST_F(ResultDialogDetails, DetailsButtonShowsAndHidesThemBelowTheVerdicts) {
    const QSize collapsed = dlg.size();
    EXPECT_FALSE(dlg.DetailsShown());
    // The added buttons sit on the template's free space, clear of its controls.
    for (QWidget* added :
         {static_cast<QWidget*>(dlg.DetailsButton()), static_cast<QWidget*>(dlg.CopyButton())}) {
        for (int id : {1, 2, 1014})
            EXPECT_FALSE(added->geometry().intersects(dlg.GetDlgItem(id)->geometry())) << id;
    }
    EXPECT_FALSE(dlg.DetailsButton()->geometry().intersects(dlg.CopyButton()->geometry()));

    QTest::mouseClick(dlg.DetailsButton(), Qt::LeftButton);
    ASSERT_TRUE(dlg.DetailsShown());
    EXPECT_TRUE(dlg.DetailsView()->isVisible());
    EXPECT_GT(dlg.height(), collapsed.height());
    EXPECT_GE(dlg.DetailsView()->y(), dlg.GetDlgItem(1)->geometry().bottom());
    EXPECT_LE(dlg.DetailsView()->geometry().bottom(), dlg.height());
    EXPECT_EQ(dlg.DetailsView()->toPlainText(),
              QStringLiteral("What this means for peer-to-peer\n\nNo NAT.\n\n"
                             "Public address and port: 127.0.0.1:9802"));

    QTest::mouseClick(dlg.DetailsButton(), Qt::LeftButton);
    EXPECT_FALSE(dlg.DetailsShown());
    EXPECT_EQ(dlg.size(), collapsed);
    EXPECT_TRUE(dlg.isVisible());
}

TEST_F(ResultDialogDetails, CopyPutsTheVerdictsAsLoggedTheMeaningAndTheAddress) {
    struct Row {
        const char* name;
        bool showDetails;
        std::optional<Ipv4Endpoint> endpoint;
        const char* lastLine;
    };
    const Row rows[] = {
        {.name = "details hidden",
         .showDetails = false,
         .endpoint = Ipv4Endpoint{qToBigEndian(0x7F000001u), 9802},
         .lastLine = "Public address and port: 127.0.0.1:9802\n"},
        {.name = "details shown, no address",
         .showDetails = true,
         .endpoint = std::nullopt,
         .lastLine = "Public address and port: not known (no server reported it)\n"},
    };
    for (const Row& row : rows) {
        QApplication::clipboard()->clear();
        dlg.m_details.publicEndpoint = row.endpoint;
        dlg.ShowDetails(row.showDetails);
        QTest::mouseClick(dlg.CopyButton(), Qt::LeftButton);
        EXPECT_EQ(QApplication::clipboard()->text(),
                  QStringLiteral("NAT INCOMING PACKAGES FILTER :    OPEN\nUDP LOOPBACK: YES\n\n"
                                 "What this means for peer-to-peer\n\nNo NAT.\n\n") +
                      QString::fromLatin1(row.lastLine))
            << row.name;
        EXPECT_TRUE(dlg.isVisible()) << row.name;
    }
}

struct PresenterRow {
    const char* name;
    const char* button;  // "ok" or "cancel"
    bool untick;
    bool expectOk;
    bool expectSend;
};

TEST(ResultPresenter, OkWithTheBoxTickedIsTheOnlyWayToAReport) {
    const PresenterRow rows[] = {
        {"ok ticked", "ok", false, true, true},
        {"ok unticked", "ok", true, true, false},
        {"cancel ticked", "cancel", false, false, false},
        {"cancel unticked", "cancel", true, false, false},
    };
    for (const PresenterRow& row : rows) {
        QWidget owner;
        CQtResultPresenter presenter(&owner);
        presenter.SetDialogRunner([&](CResultDlg& dlg) {
            dlg.show();
            if (row.untick)
                QTest::mouseClick(dlg.ReportBox(), Qt::LeftButton);
            QTest::mouseClick(
                static_cast<QPushButton*>(dlg.GetDlgItem(row.button[0] == 'o' ? 1 : 2)),
                Qt::LeftButton);
            return dlg.result();
        });
        bool send = !row.expectSend;
        EXPECT_EQ(presenter.ShowResult({"NAT INCOMING PACKAGES FILTER :    OPEN"}, send),
                  row.expectOk)
            << row.name;
        EXPECT_EQ(send, row.expectSend) << row.name;
    }
}

TEST(ResultPresenter, ReportLinkReachesTheDesktopUnchanged) {
    UrlRecorder urls({"mailto"});
    CQtResultPresenter presenter(nullptr);
    const std::string link =
        "mailto:r@tarnwick.test?subject= Report&body=The Test result is:%0a%0a"
        "NAT INCOMING PACKAGES FILTER :    OPEN%0a%0a%0a%0a";
    presenter.OpenLink(link);
    ASSERT_EQ(urls.opened.size(), 1);
    // Blanks travel percent-encoded in a URL and the hex digits of "%0a" may change case (the
    // same octet); decoded, the link must read exactly as the engine built it.
    EXPECT_EQ(QUrl::fromPercentEncoding(urls.opened[0].toEncoded()).toStdString(),
              QUrl::fromPercentEncoding(QByteArray::fromStdString(link)).toStdString());
    EXPECT_TRUE(
        urls.opened[0].toString(QUrl::FullyEncoded).contains(QStringLiteral("%0A%0A%0A%0A")));
}

}  // namespace
}  // namespace apptest
