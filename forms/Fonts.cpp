#include "forms/Fonts.h"

#include <QFontDatabase>
#include <QStringList>

namespace kavrin {

void installFontSubstitutions() {
    static bool installed = false;
    if (installed) {
        return;
    }
    installed = true;
    const QString desktopSans = QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    const QStringList families = QFontDatabase::families();
    for (const char* wanted : {"Tahoma", "Verdana"}) {
        if (!families.contains(QString::fromLatin1(wanted), Qt::CaseInsensitive)) {
            QFont::insertSubstitutions(
                QString::fromLatin1(wanted),
                {desktopSans, QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
        }
    }
}

QFont tahomaFont(int pixelSize, bool bold) {
    installFontSubstitutions();
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

QFont verdanaFont(int pixelSize) {
    installFontSubstitutions();
    QFont font(QStringLiteral("Verdana"));
    font.setPixelSize(pixelSize);
    return font;
}

}  // namespace kavrin
