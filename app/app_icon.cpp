#include "app/app_icon.h"

// The resources live in a static library, so they are registered by hand before first use.
static void InitAppResources() {
    Q_INIT_RESOURCE(gatewise);
}

QIcon AppIcon() {
    static const bool registered = (InitAppResources(), true);
    (void)registered;
    return QIcon(QStringLiteral(":/gatewise/gatewise.png"));
}
