#pragma once

#include <string>

#include "support/Clock.h"

namespace kavrin {

// Version of an executable as "a.b.c.d". On Windows it is read from the file's version resource
// (throws EOSError when there is none); elsewhere it is the version this program was built with.
std::string FileVersionText(const std::string& path);

// "yyyymmdd-hhnnss" of one reading of the clock; milliseconds are dropped.
std::string TimeStampText(Clock& clock);
std::string TimeStampText(const LocalTime& time);

// `name` unchanged when it holds "\\" anywhere, else "\\" + name.
std::string UncServerPrefix(const std::string& name);

// The name of this computer, possibly empty. Throws EAPIException "GetComputerName failed.".
std::string LocalComputerName();

// Path of the running program's executable.
std::string RunningProgramPath();

}  // namespace kavrin
