#pragma once

#include <cctype>

#include <string>

namespace kavrin::test {

// A fresh folder under $TMPDIR (or /tmp) that is removed with everything in it when the object
// goes; tests that touch the real disk work inside one.
class TempFolder {
public:
    TempFolder();
    // A fresh folder inside `base` (which must exist).
    explicit TempFolder(const std::string& base);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return m_path; }

    // path(), the native separator, name
    std::string file(const std::string& name) const;

private:
    std::string m_path;
};

// `text` in lower case (ASCII): for paths a case-blind file system names in its own case.
inline std::string folded(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

}  // namespace kavrin::test
