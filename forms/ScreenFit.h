#pragma once

class QWidget;

namespace kavrin {

// Keeps a window whole on the screen it shows on: no larger than the screen's free area
// (window frame included, as far as its minimum size allows) and moved inside that area. For
// windows designed in pixels at 96 dpi that may show on a small screen or at a large scale.
// Call it when the window is shown.
void fitOnScreen(QWidget* window);

}  // namespace kavrin
