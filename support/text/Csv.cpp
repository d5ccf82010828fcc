#include "support/text/Csv.h"

namespace kavrin {

void appendCsvRow(std::string& out, std::initializer_list<std::string_view> fields) {
    bool first = true;
    for (std::string_view field : fields) {
        if (!first) {
            out += ',';
        }
        first = false;
        if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
            out += field;
            continue;
        }
        out += '"';
        for (char c : field) {
            if (c == '"') {
                out += '"';
            }
            out += c;
        }
        out += '"';
    }
    out += "\r\n";
}

}  // namespace kavrin
