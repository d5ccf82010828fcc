#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace kavrin::test {

// What the tests ask of the platform they run on; TestPlatformPosix.cpp or TestPlatformWindows.cpp.

// The first text on POSIX, the second on Windows: what the two show differently (the date forms
// of the tests' reference locales, the system's texts of its reasons).
std::string forPlatform(const std::string& posix, const std::string& windows);

// Files, folders and other handles the process holds open right now.
std::size_t openHandleCount();

// Whether taking the permissions away from a file or folder keeps this process out of it: not for
// the superuser, and not on Windows, whose read-only attribute a folder ignores.
bool permissionsBind();

// Whether a file another program holds open for writing cannot be read at all (Windows, where the
// tool reads sharing only reading), rather than read as it is at that moment (POSIX).
bool writersKeepReadersOut();

// A fresh empty folder in the Kavrin$ share of the server that the environment variable
// KAVRIN_TEST_SERVER names, removed with everything in it when the last copy of the result goes;
// empty where that variable is not set or the platform reaches no share itself.
std::shared_ptr<const std::string> testShareFolder();

}  // namespace kavrin::test
