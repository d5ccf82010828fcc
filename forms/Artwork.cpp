#include "forms/Artwork.h"

#include <QDir>
#include <array>

// Resources of a static library are only linked when something refers to them.
static void initFormsResources() {
    Q_INIT_RESOURCE(artwork);
}

namespace kavrin {

namespace {

void ensureResources() {
    static const bool ready = (initFormsResources(), true);
    (void)ready;
}

}  // namespace

QPixmap artworkPixmap(const QString& name, QSize size) {
    ensureResources();
    QPixmap pixmap(QStringLiteral(":/icons/%1.png").arg(name));
    if (pixmap.size() != size) {
        pixmap = pixmap.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    return pixmap;
}

QIcon applicationIcon() {
    ensureResources();
    QIcon icon;
    const QStringList files = QDir(QStringLiteral(":/icons")).entryList(
        {QStringLiteral("application-*.png")}, QDir::Files);
    for (const QString& file : files) {
        icon.addFile(QStringLiteral(":/icons/") + file);
    }
    return icon;
}

const QIcon& imageListIcon(int index) {
    static const std::array<QIcon, 7> icons = [] {
        const char* names[] = {"node_live", "unique",    "cross", "active",
                               "inactive",  "duplicate", "marked"};
        std::array<QIcon, 7> result;
        for (std::size_t i = 0; i < result.size(); ++i) {
            result[i] = QIcon(artworkPixmap(QString::fromLatin1(names[i]), QSize(16, 16)));
        }
        return result;
    }();
    static const QIcon none;
    if (index < 0 || index >= static_cast<int>(icons.size())) {
        return none;
    }
    return icons[static_cast<std::size_t>(index)];
}

}  // namespace kavrin
