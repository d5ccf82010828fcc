#include "forms/Artwork.h"

#include <QPainter>
#include <QSvgRenderer>
#include <array>

// Resources of a static library are only linked when something refers to them.
static void initFormsResources() {
    Q_INIT_RESOURCE(forms);
}

namespace kavrin {

QPixmap artworkPixmap(const QString& name, QSize size) {
    static const bool resourcesReady = (initFormsResources(), true);
    (void)resourcesReady;
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(QStringLiteral(":/icons/%1.svg").arg(name));
    QPainter painter(&pixmap);
    renderer.render(&painter);
    return pixmap;
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
