#include "ui/widgets/app_icon.h"

#include <QFile>

// The icon resources live in a static library: nothing else links their
// registration in, so it is asked for here (outside any namespace, as Qt needs).
static void registerIconResources() { Q_INIT_RESOURCE(icons); }

namespace vistereo {

QIcon applicationIcon() {
    // The renderings of desktop/vistereo.svg built into the program; Qt picks
    // the size a window or the About box asks for.
    registerIconResources();
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        const QString file = QStringLiteral(":/icons/vistereo-%1.png").arg(size);
        if (QFile::exists(file)) icon.addFile(file, QSize(size, size));
    }
    return icon;
}

}  // namespace vistereo
