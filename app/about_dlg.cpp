#include "app/about_dlg.h"

#include <QLabel>
#include <QPushButton>

#include "app/app_icon.h"
#include "app/command_ids.h"
#include "gatewise_version.h"

namespace {
// Template 100: client size in dialog units, font size in points.
constexpr int kTemplateWidth = 235;
constexpr int kTemplateHeight = 55;
constexpr int kFontPoints = 8;
}  // namespace

// Titled as the Help menu's item that opens it.
CAboutDlg::CAboutDlg(QWidget* parent)
    : CTemplateDialog(parent, QStringLiteral("About ") + QString::fromLatin1(kAppTitle),
                      DialogFont(kFontPoints), kTemplateWidth, kTemplateHeight) {
    auto* icon = Place(new QLabel(this), -1, 11, 17, 20, 20);
    icon->setPixmap(AppIcon().pixmap(icon->size()));
    // The version the build was made from.
    auto* version = Place(
        new QLabel(QString::fromLatin1(kAppTitle) + QStringLiteral(" Version " GATEWISE_VERSION),
                   this),
        -1, 40, 10, 188, 8);
    version->setTextFormat(Qt::PlainText);
    auto* rights =
        Place(new QLabel(QStringLiteral("Copyright (C) 2026 Tarnwick"), this), -1, 40, 25, 119, 8);
    rights->setTextFormat(Qt::PlainText);
    for (QLabel* label : {version, rights})
        label->resize(label->width(), label->height() * 3 / 2);
    auto* ok = Place(new QPushButton(QStringLiteral("OK"), this), 1, 178, 34, 50, 14);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &CAboutDlg::accept);
}
