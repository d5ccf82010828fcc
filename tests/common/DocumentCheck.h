#pragma once

#include <cctype>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kavrin::test {

// The entries of `words` that the text file at `path` does not hold as whole words. A word
// counts where neither neighbour is a letter, a digit or '-': "--delete" is not found in
// "--delete-older". A file that cannot be read holds no word.
inline std::vector<std::string> missingWords(const std::string& path,
                                             const std::vector<std::string>& words) {
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto joins = [&text](std::size_t i) {
        const auto c = static_cast<unsigned char>(text[i]);
        return std::isalnum(c) != 0 || c == '-';
    };
    std::vector<std::string> missing;
    for (const std::string& word : words) {
        bool found = false;
        for (std::size_t at = text.find(word); !found && at != std::string::npos;
             at = text.find(word, at + 1)) {
            const std::size_t end = at + word.size();
            found = (at == 0 || !joins(at - 1)) && (end == text.size() || !joins(end));
        }
        if (!found) {
            missing.push_back(word);
        }
    }
    return missing;
}

}  // namespace kavrin::test
