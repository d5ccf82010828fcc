#pragma once

#include <stdexcept>
#include <string>

namespace kavrin {

// Every failure of the tool is an exception carrying the exact text the user sees; the command that
// started the work decides whether and how it is shown.
class KavrinError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A failed system call, with the code the system reported.
class EOSError : public KavrinError {
public:
    EOSError(int code, const std::string& message) : KavrinError(message), m_code(code) {}
    int code() const { return m_code; }

    // "System Error.  Code: %d.\r\n%s", or "A call to an OS function failed" for code 0.
    static EOSError fromCode(int code);

private:
    int m_code;
};

// The computer name could not be read.
class EAPIException : public KavrinError {
public:
    using KavrinError::KavrinError;
};

// The system's own text for an error code (errno on POSIX, GetLastError on Windows).
std::string systemErrorText(int code);

// printf-style formatting into a std::string (the messages of the tool are fixed printf forms).
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kavrin
