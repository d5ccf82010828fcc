#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace kavrin {

// A database location as the window's location fields hold it.
struct WindowLocation {
    bool server = false;  // `text` names a KavrinServer; else it is a folder
    QString text;
};

// What the window program's command line asks for.
struct StartArguments {
    enum Action { Run, Help, Version, Error } action = Run;
    std::optional<WindowLocation> location;  // Run: the location to open at start, if any
    QString message;                         // Error: what is wrong; names no value given
};

// Reads the window program's command line, the program's name first (as
// QCoreApplication::arguments() gives it): [--server NAME | --folder PATH], -h/--help,
// -v/--version.
StartArguments parseStartArguments(const QStringList& arguments);

// The text of --help.
QString startArgumentsHelp();

// Every name of every option parseStartArguments accepts: "-h", "--help", "--server"... The
// manual page and the shell completion are checked against it.
QStringList startOptionNames();

}  // namespace kavrin
