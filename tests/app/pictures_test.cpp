// The documentation's pictures against the program: each picture's text file says what the window
// showed and what from; the window rebuilt from the same must show the same texts. When this
// fails, a text the pictures show has changed: remake them with scripts/screenshots.sh.

#include <QDir>
#include <QFileInfo>

#include "app/command_ids.h"
#include "app/main_frame.h"
#include "app/picture_texts.h"
#include "app/stun_setting_dlg.h"
#include "app_fixture.h"

namespace apptest {
namespace {

const QDir kImages(QStringLiteral(GATEWISE_SOURCE_DIR "/docs/images"));

class PicturesTest : public AppFixture {
protected:
    // What the window the picture shows would show now, built from the recorded inputs.
    QStringList TextsNow(const QString& name, const QStringList& inputs) {
        if (name == QLatin1String("main"))
            return ShownTexts(*Frame());
        if (name == QLatin1String("running")) {
            const QStringList parts = inputs.value(0).split(QLatin1Char(' '));
            const int step = parts.value(0).section(QLatin1Char('='), 1).toInt();
            const int ticksLeft = parts.value(1).section(QLatin1Char('='), 1).toInt();
            emit View()->statusChanged(
                RunningStatusText(DescribeProgress(step, ticksLeft), CGatewiseView::kTickMs), 1,
                10);
            return ShownTexts(*Frame());
        }
        QStringList texts;
        const auto grab = [&texts](QDialog& dialog) {
            dialog.show();
            texts = ShownTexts(dialog);
            return static_cast<int>(QDialog::Rejected);
        };
        if (name == QLatin1String("about")) {
            Frame()->SetAboutRunner(grab);
            Frame()->ExecuteCommand(cmd::kAppAbout);
        } else if (name == QLatin1String("settings")) {
            View()->SetSettingsDialogRunner(grab);
            Frame()->ExecuteCommand(cmd::kStunSetting);
        } else if (name.startsWith(QLatin1String("result-"))) {
            CheckOutcome outcome;
            std::optional<bool> mappedIsLocal;
            EXPECT_TRUE(ParseOutcomeInput(inputs.value(0), outcome, mappedIsLocal)) << inputs.value(0).toStdString();
            std::vector<std::string> lines;
            for (const QString& line : inputs.mid(1))
                lines.push_back(line.toStdString());
            CQtResultPresenter presenter(Frame());
            presenter.SetDialogRunner([&grab](CResultDlg& dlg) {
                dlg.ShowDetails(true);
                return grab(dlg);
            });
            CheckFacts facts;
            facts.mappedIsLocal = mappedIsLocal;
            bool report = false;
            presenter.ShowResult(lines, DetailsOfCheck(outcome, facts), report);
        } else {
            ADD_FAILURE() << "no rule to rebuild " << name.toStdString();
        }
        return texts;
    }
};

TEST_F(PicturesTest, EveryPictureShowsWhatTheProgramShowsNow) {
    // As scripts/screenshots.sh writes it: the two servers and no friend.
    WriteIni(
        "[Setting]\nSTUN1_IP=127.0.0.2\nSTUN1_PORT=41000\nSTUN2_IP=127.0.0.3\n"
        "STUN2_PORT=41010\nFRIEND_IP=0.0.0.0\n");
    MakeApp();
    const QStringList pictures = kImages.entryList({QStringLiteral("*.png")});
    ASSERT_FALSE(pictures.isEmpty());
    for (const QString& picture : pictures) {
        const QString name = QFileInfo(picture).completeBaseName();
        SCOPED_TRACE(name.toStdString());
        const auto source = ParsePictureSource(ReadFile(kImages.filePath(name + ".txt")));
        ASSERT_TRUE(source) << "no text file beside " << picture.toStdString();
        EXPECT_EQ(TextsNow(name, source->inputs).join('\n').toStdString(),
                  source->texts.join('\n').toStdString())
            << "the program shows other texts than the picture: run scripts/screenshots.sh";
    }
}

TEST(PictureSource, OutcomeAndFileRoundTrip) {
    CheckOutcome outcome;
    outcome.filterType = 3;
    outcome.loopback = false;
    outcome.mappedIp = 0x0100007f;
    outcome.mappedPort = 0x5b26;
    outcome.friendIp = 0xffffffff;
    CheckOutcome back;
    std::optional<bool> local;
    const QString input = OutcomeInput(outcome, true);
    EXPECT_EQ(input.toStdString(),
              "filter=3 loopback=0 mappedIp=16777343 mappedPort=23334 friendIp=4294967295 local=1");
    ASSERT_TRUE(ParseOutcomeInput(input, back, local));
    EXPECT_EQ(OutcomeInput(back, local), input);
    for (const char* bad : {"filter=x", "nosuch=1", "=1", "filter=-1", "filter=4294967296"})
        EXPECT_FALSE(ParseOutcomeInput(QString::fromLatin1(bad), back, local)) << bad;

    const PictureSource source{{input, QStringLiteral("PORT RESTRICTED")}, {"NAT", "Prüfung #"}};
    EXPECT_EQ(ParsePictureSource(PictureSourceBytes(source)), source);
    EXPECT_FALSE(ParsePictureSource("no comment line\n"));
}

}  // namespace
}  // namespace apptest
