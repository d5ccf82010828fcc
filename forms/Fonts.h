#pragma once

#include <QFont>

namespace kavrin {

// The window's fonts are Tahoma (and Verdana for one caption). Where those are not installed the
// desktop's sans-serif stands in through a font substitution, installed once.
void installFontSubstitutions();

// Tahoma at a height in pixels (8 point at 96 dpi is 11 pixels).
QFont tahomaFont(int pixelSize, bool bold = false);
QFont verdanaFont(int pixelSize);

}  // namespace kavrin
