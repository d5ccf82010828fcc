#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kavrin::test {

// The rows of a CSV text as RFC 4180 has it (quoted fields, doubled quotes, CR LF row ends).
// Returns nothing at all for a text that is not CSV of that form: a bare CR or LF, a quote
// inside an unquoted field, an unterminated quote, or a last row without its CR LF.
inline std::vector<std::vector<std::string>> parseCsv(std::string_view text) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row;
    std::string field;
    bool quoted = false;
    bool wasQuoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c != '"') {
                field += c;
            } else if (i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else {
                quoted = false;
            }
        } else if (c == '"' && field.empty() && !wasQuoted) {
            quoted = wasQuoted = true;
        } else if (c == ',') {
            row.push_back(std::move(field));
            field.clear();
            wasQuoted = false;
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            row.push_back(std::move(field));
            field.clear();
            wasQuoted = false;
            rows.push_back(std::move(row));
            row.clear();
            ++i;
        } else if (c == '"' || c == '\r' || c == '\n' || wasQuoted) {
            return {};
        } else {
            field += c;
        }
    }
    if (quoted || !field.empty() || !row.empty()) {
        return {};
    }
    return rows;
}

}  // namespace kavrin::test
