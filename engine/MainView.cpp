#include "engine/MainView.h"

namespace kavrin {

std::string MainView::allLines(LineList list) const {
    std::string text;
    const std::size_t count = lineCount(list);
    for (std::size_t i = 0; i < count; ++i) {
        text += lineAt(list, i);
        text += "\r\n";
    }
    return text;
}

}  // namespace kavrin
