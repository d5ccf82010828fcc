#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>

namespace kavrin {

// The seven 16 x 16 images of the node list (index = NodeIcon); a null icon for other indices.
const QIcon& imageListIcon(int index);

// One picture of the forms' resources (":/icons/<name>.png", drawn from icons/<name>.svg at the
// size the window shows it), at `size`.
QPixmap artworkPixmap(const QString& name, QSize size);

// The program's icon, in every size it was drawn in.
QIcon applicationIcon();

}  // namespace kavrin
