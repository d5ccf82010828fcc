#pragma once

#include <string>
#include <vector>

#include "support/platform/Clock.h"

namespace kavrin {

// Version of an executable as "a.b.c.d". On Windows it is read from the file's version resource
// (throws EOSError when there is none); elsewhere it is the version this program was built with.
std::string FileVersionText(const std::string& path);

// "yyyymmdd-hhnnss" of one reading of the clock; milliseconds are dropped.
std::string TimeStampText(Clock& clock);
std::string TimeStampText(const LocalTime& time);

// `name` unchanged when it holds "\\" anywhere, else "\\" + name.
std::string UncServerPrefix(const std::string& name);

// The name of this computer, possibly empty. On Windows GetComputerNameA, and when that fails the
// value "ComputerName" of the registry key SYSTEM\CurrentControlSet\Control\ComputerName\ of the
// local machine: a missing key or value gives the empty text. Throws EAPIException
// "GetComputerName failed." when that value is not a text (elsewhere: when there is no name).
std::string LocalComputerName();

// Test seam of LocalComputerName: with `systemCallFails` it acts as if the system's call for the
// name failed (GetComputerNameA never fails under wine) and goes on to what follows; a non-empty
// `registryKey` is the key of the local machine read in place of the system's.
struct ComputerNameSeam {
    bool systemCallFails = false;
    std::string registryKey;
};
void setComputerNameSeam(const ComputerNameSeam& seam);

// Path of the running program's executable.
std::string RunningProgramPath();

// For a console program's main(): the arguments after the program's name as UTF-8, and the console
// made to show the UTF-8 the program writes, byte for byte as on every platform. On Windows the
// arguments come from the wide command line (the ANSI one cannot carry a name outside the code
// page), standard output and error stop turning "\n" into "\r\n", and the console's code page
// is UTF-8 until the program ends.
std::vector<std::string> consoleProgramArguments(int argc, char** argv);

// Whether standard error is shown to a person, in a terminal or a console window (not a file, a
// pipe or the null device).
bool standardErrorIsConsole();

}  // namespace kavrin
