#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace kavrin {

// Appends one row of a CSV file as RFC 4180 has it: fields separated by commas, a field that
// holds a comma, a double quote, a CR or an LF enclosed in double quotes with each double quote
// doubled, the row ended by CR LF. The bytes of the fields are copied as they are (UTF-8 in,
// UTF-8 out).
void appendCsvRow(std::string& out, std::initializer_list<std::string_view> fields);

}  // namespace kavrin
