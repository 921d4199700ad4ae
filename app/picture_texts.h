#pragma once
// The words in the documentation's pictures. Beside each picture the screenshot run writes what
// the photographed window showed as text, and what it was showing (a check's outcome, a running
// check's step); the tests rebuild the window from that and compare, so a change to a text the
// pictures show fails the tests until the pictures are remade (scripts/screenshots.sh).
// User-interface thread only.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

#include "engine/nat_prober.h"

class QWidget;

// The texts a window shows, top to bottom as the widgets were made: its title, the menu titles,
// then every visible label, button, line edit and text box but the log. Runs of digits are
// written as "#": ports, times and addresses differ from run to run, words do not.
QStringList ShownTexts(const QWidget& window);

// The file beside a picture: a comment line, a line "input: ..." for each thing the window was
// showing that the texts come from, then one text per line.
struct PictureSource {
    QStringList inputs;
    QStringList texts;
    bool operator==(const PictureSource&) const = default;
};
QByteArray PictureSourceBytes(const PictureSource& source);
std::optional<PictureSource> ParsePictureSource(const QByteArray& bytes);

// A check's outcome as an input line ("filter=3 loopback=1 ... local=0") and back; fields left
// out are the ones the check never filled.
QString OutcomeInput(const CheckOutcome& outcome, std::optional<bool> mappedIsLocal);
bool ParseOutcomeInput(const QString& input, CheckOutcome& outcome,
                       std::optional<bool>& mappedIsLocal);
