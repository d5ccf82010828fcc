#include "forms/StartArguments.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>

namespace kavrin {

namespace {

struct Options {
    QCommandLineOption server{
        QStringLiteral("server"),
        QStringLiteral("open the database on the Kavrin$ share of server NAME"),
        QStringLiteral("NAME")};
    QCommandLineOption folder{QStringLiteral("folder"),
                              QStringLiteral("open the database in folder PATH"),
                              QStringLiteral("PATH")};
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")},
                            QStringLiteral("print this text and end")};
    QCommandLineOption version{{QStringLiteral("v"), QStringLiteral("version")},
                               QStringLiteral("print the version and end")};

    QList<QCommandLineOption> all() const { return {server, folder, help, version}; }
};

QString optionTerm(const QCommandLineOption& option) {
    QString term;
    for (const QString& name : option.names()) {
        term += (term.isEmpty() ? QString() : QStringLiteral(", ")) +
                (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
    }
    if (!option.valueName().isEmpty()) {
        term += QLatin1Char(' ') + option.valueName();
    }
    return term;
}

}  // namespace

StartArguments parseStartArguments(const QStringList& arguments) {
    const Options options;
    QCommandLineParser parser;
    parser.addOptions(options.all());
    StartArguments result;
    const auto fail = [&result](const QString& message) {
        result.action = StartArguments::Error;
        result.message = message;
        return result;
    };
    if (!parser.parse(arguments)) {
        // The parser's messages quote option names only, never what follows them.
        return fail(parser.errorText());
    }
    if (parser.isSet(options.help)) {
        result.action = StartArguments::Help;
        return result;
    }
    if (parser.isSet(options.version)) {
        result.action = StartArguments::Version;
        return result;
    }
    if (!parser.positionalArguments().isEmpty()) {
        return fail(
            QStringLiteral("unexpected argument; a location is given with --server NAME "
                           "or --folder PATH"));
    }
    const QStringList servers = parser.values(options.server);
    const QStringList folders = parser.values(options.folder);
    if (servers.size() + folders.size() > 1) {
        return fail(QStringLiteral("give one location: --server NAME or --folder PATH, once"));
    }
    if (!servers.isEmpty()) {
        if (servers.front().isEmpty()) {
            return fail(QStringLiteral("--server needs a NAME"));
        }
        result.location = WindowLocation{true, servers.front()};
    } else if (!folders.isEmpty()) {
        if (folders.front().isEmpty()) {
            return fail(QStringLiteral("--folder needs a PATH"));
        }
        result.location = WindowLocation{false, folders.front()};
    }
    return result;
}

QString startArgumentsHelp() {
    QString text = QStringLiteral(
        "Usage: kavrin-dbtool [--server NAME | --folder PATH]\n"
        "\n"
        "The KavrinServer Database Tool window. With a location it opens that database as soon\n"
        "as the information shown at start is closed; without one it shows the location opened\n"
        "last.\n"
        "\n"
        "Options:\n");
    for (const QCommandLineOption& option : Options().all()) {
        text += QStringLiteral("  %1%2\n").arg(optionTerm(option), -22).arg(option.description());
    }
    return text;
}

QStringList startOptionNames() {
    QStringList names;
    for (const QCommandLineOption& option : Options().all()) {
        for (const QString& name : option.names()) {
            names << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
        }
    }
    return names;
}

}  // namespace kavrin
