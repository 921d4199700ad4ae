// The about box, the hyperlink control and the result dialog with its presenter.
#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
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
        std::int32_t filter;
        std::optional<std::int32_t> alloc;
        std::uint32_t mappedIp;  // host order here, the outcome holds network order
        std::uint16_t mappedPort;
        const char* line;
    };
    const std::optional<std::int32_t> none;
    // One row per line:
    // clang-format off
    const Row rows[] = {
        {.name = "reported", .filter = FilterPortRestricted, .alloc = AllocNotSymmetric, .mappedIp = 0xCB007105u, .mappedPort = 40000, .line = "Public address and port: 203.0.113.5:40000"},
        {.name = "rule not known", .filter = FilterPortRestricted, .alloc = none, .mappedIp = 0xCB007105u, .mappedPort = 40000, .line = "Public address and port: 203.0.113.5:40000"},
        // After "its public port cannot be predicted": the address is the server's alone.
        {.name = "port sensitive", .filter = FilterPortRestricted, .alloc = AllocPortSensitive, .mappedIp = 0xCB007105u, .mappedPort = 40000, .line = "Public address and port (for the server's address only): 203.0.113.5:40000"},
        {.name = "symmetric", .filter = FilterSymmetric, .alloc = none, .mappedIp = 0xCB007105u, .mappedPort = 40000, .line = "Public address and port (for the server's address only): 203.0.113.5:40000"},
        {.name = "no reply", .filter = FilterUnknown, .alloc = none, .mappedIp = 0, .mappedPort = 0, .line = "Public address and port: not known (no server reported it)"},
    };
    // clang-format on
    for (const Row& row : rows) {
        CheckOutcome outcome;
        outcome.filterType = row.filter;
        outcome.allocRule = row.alloc;
        outcome.mappedIp = qToBigEndian(row.mappedIp);
        outcome.mappedPort = qToBigEndian(row.mappedPort);
        const ResultDetails details = DetailsOfCheck(outcome, {.mappedIsLocal = false});
        EXPECT_EQ(PublicEndpointLine(details), row.line) << row.name;
        ASSERT_FALSE(details.meaning.empty()) << row.name;
        EXPECT_EQ(details.meaning.front(), kP2pHeading) << row.name;
        EXPECT_EQ(DetailsLines(details).back(), row.line) << row.name;
    }
}

// An UNKNOWN says first why, and what to do in this window.
TEST(ResultDetails, AMissingVerdictIsExplainedWithTheMenusToUse) {
    struct Row {
        const char* name;
        bool exampleServers;
        std::uint16_t mappedPort;
        std::optional<std::int32_t> silentServer;
        const char* first;
    };
    // One row per line:
    // clang-format off
    const Row rows[] = {
        {.name = "no server", .exampleServers = false, .mappedPort = 0, .silentServer = 1, .first = "No server answered. Check File > STUN Setting, or run File > Standard STUN Check against a public STUN server."},
        {.name = "Server2 silent", .exampleServers = false, .mappedPort = 40000, .silentServer = 2, .first = "STUN Server1 answered but STUN Server2 did not, so the filter test could not finish. Check STUN Server2 in File > STUN Setting."},
        {.name = "example servers", .exampleServers = true, .mappedPort = 0, .silentServer = 1, .first = "The settings still name the built-in example servers 192.168.0.55 and 192.168.0.97, which answer nobody. Enter your servers in File > STUN Setting, or run File > Standard STUN Check against a public STUN server."},
    };
    // clang-format on
    for (const Row& row : rows) {
        CheckOutcome outcome;
        outcome.filterType = FilterUnknown;
        outcome.mappedPort = row.mappedPort;
        outcome.silentServer = row.silentServer;
        const ResultDetails details =
            DetailsOfCheck(outcome, {.exampleServers = row.exampleServers});
        ASSERT_GE(details.meaning.size(), 3u) << row.name;
        EXPECT_EQ(details.meaning[2], row.first) << row.name;
    }
}

// The dialog with its details open, as measured on a desktop: 562 x 669 pixels inside a frame
// of 4, 30, 4 and 4; the details are 403 pixels high and may give up 291 of them.
TEST(ResultDialogPlacement, StaysInsideTheAvailableAreaAndMovesOnlyAsFarAsNeeded) {
    struct Row {
        const char* name;
        QRect available;
        QPoint start;  // the frame's top left with the details closed
        QRect frame;   // the frame with them open
        int cut;
    };
    // One row per line:
    // clang-format off
    const Row rows[] = {
        {.name = "1366x768, panel below", .available = {0, 0, 1366, 728}, .start = {398, 220}, .frame = {398, 25, 570, 703}, .cut = 0},
        {.name = "1024x768, panel above", .available = {0, 28, 1024, 740}, .start = {227, 254}, .frame = {227, 65, 570, 703}, .cut = 0},
        {.name = "1280x900", .available = {0, 0, 1280, 860}, .start = {355, 286}, .frame = {355, 157, 570, 703}, .cut = 0},
        {.name = "2560x1440: fits where it is", .available = {0, 0, 2560, 1400}, .start = {995, 556}, .frame = {995, 556, 570, 703}, .cut = 0},
        {.name = "1024x600: the details scroll", .available = {0, 0, 1024, 576}, .start = {227, 144}, .frame = {227, 0, 570, 576}, .cut = 127},
        {.name = "800x400: the title bar stays on the screen", .available = {0, 0, 800, 400}, .start = {115, 56}, .frame = {115, 0, 570, 412}, .cut = 291},
        {.name = "second screen, past its right edge", .available = {1366, 0, 1024, 768}, .start = {2200, 700}, .frame = {1820, 65, 570, 703}, .cut = 0},
        {.name = "above and left of the area", .available = {0, 28, 1024, 740}, .start = {-50, 0}, .frame = {0, 28, 570, 703}, .cut = 0},
    };
    // clang-format on
    const QMargins margins(4, 30, 4, 4);
    for (const Row& row : rows) {
        const DetailsPlacement place = PlaceDetailsDialog(
            QRect(row.start, QSize(570, 287)), margins, QSize(562, 669), 291, row.available);
        EXPECT_EQ(place.frame, row.frame) << row.name;
        EXPECT_EQ(place.detailsCut, row.cut) << row.name;
        // Only a screen lower than the dialog's least height leaves it reaching past the edge.
        EXPECT_TRUE(row.cut == 291 || row.available.contains(place.frame)) << row.name;
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

// On this screen (the headless one, 800 x 800 unless a configuration file gives another; the
// tests' list runs it on 1366 x 768, 1024 x 768 and 1024 x 600 too), from its lowest place: the
// open details move the dialog up into the available area, cut to fit where the screen is too
// low for them (they scroll then).
TEST_F(ResultDialogDetails, OpenDetailsKeepTheDialogOnTheScreen) {
    const QRect available = dlg.screen()->availableGeometry();
    dlg.move(dlg.x(), available.bottom() - dlg.frameGeometry().height());
    const int full = dlg.DetailsView()->height();
    dlg.ShowDetails(true);
    EXPECT_TRUE(available.contains(dlg.frameGeometry())) << available.height();
    EXPECT_LE(dlg.DetailsView()->geometry().bottom(), dlg.height());
    const int cut = full - dlg.DetailsView()->height();
    EXPECT_EQ(cut > 0, dlg.frameGeometry().height() + cut > available.height());
    dlg.ShowDetails(false);
    EXPECT_TRUE(available.contains(dlg.frameGeometry()));
}

// Tab goes through the controls as they are read: the buttons' row from the left, then the
// details below it, and from there back to the first.
TEST_F(ResultDialogDetails, TabOrderFollowsTheScreen) {
    dlg.ShowDetails(true);
    auto* ok = dlg.GetDlgItem(1);
    auto* cancel = dlg.GetDlgItem(2);
    const std::vector<QWidget*> want = {
        dlg.DetailsButton(), dlg.CopyButton(), dlg.ReportBox(), ok, cancel, dlg.DetailsView()};
    std::vector<QWidget*> order;
    QWidget* w = dlg.DetailsButton();
    for (int i = 0; i < 50 && (order.empty() || w != order.front()); ++i) {
        if ((w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(&dlg) && w->isEnabled())
            order.push_back(w);
        w = w->nextInFocusChain();
    }
    EXPECT_EQ(order, want);
    for (std::size_t i = 1; i < order.size(); ++i) {
        const QRect a = order[i - 1]->geometry();
        const QRect b = order[i]->geometry();
        const bool sameRow = a.top() <= b.bottom() && b.top() <= a.bottom();
        EXPECT_TRUE(sameRow ? b.left() > a.right() : b.top() > a.bottom()) << i;
    }
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
