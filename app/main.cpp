#include <QSettings>
#include <QStringList>
#include <iostream>
#include <locale>
#include <stdexcept>

#include "forms/Artwork.h"
#include "forms/KavrinApplication.h"
#include "forms/Prompts.h"
#include "forms/StartArguments.h"
#include "forms/uFrmDate.h"
#include "forms/uFrmMain.h"
#include "forms/uFrmWarningInfo.h"
#include "support/platform/SystemHelpers.h"

namespace {

// --help and --version print and end the program: 0. A wrong command line: 2. Else -1.
int answerWithoutWindow(const kavrin::StartArguments& start) {
    switch (start.action) {
        case kavrin::StartArguments::Help:
            std::cout << kavrin::startArgumentsHelp().toStdString();
            return 0;
        case kavrin::StartArguments::Version:
            std::cout << "kavrin-dbtool " << kavrin::FileVersionText(kavrin::RunningProgramPath())
                      << '\n';
            return 0;
        case kavrin::StartArguments::Error:
            std::cerr << "kavrin-dbtool: " << start.message.toStdString()
                      << "\nTry 'kavrin-dbtool --help'.\n";
            return 2;
        case kavrin::StartArguments::Run:
            break;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    // Dates and times are shown in the user's own formats.
    try {
        std::locale::global(std::locale(""));
    } catch (const std::runtime_error&) {
        std::locale::global(std::locale::classic());
    }

    // --help and --version answer without a display. Anything else waits until the toolkit has
    // taken its own options (-platform, -style...) out of the command line.
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    if (const kavrin::StartArguments early = kavrin::parseStartArguments(arguments);
        early.action == kavrin::StartArguments::Help ||
        early.action == kavrin::StartArguments::Version) {
        return answerWithoutWindow(early);
    }

    kavrin::KavrinApplication app(argc, argv);
    // The title of the error boxes of unhandled exceptions.
    kavrin::KavrinApplication::setApplicationName(QStringLiteral("KavrinServer Database Tool"));
    kavrin::KavrinApplication::setDesktopFileName(QStringLiteral("example.kavrin.dbtool"));
    kavrin::KavrinApplication::setWindowIcon(kavrin::applicationIcon());
    const kavrin::StartArguments start = kavrin::parseStartArguments(app.arguments());
    if (const int code = answerWithoutWindow(start); code >= 0) {
        return code;
    }
    // The last location opened, kept between runs (~/.config/kavrin/kavrin-dbtool.conf).
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("kavrin"),
                       QStringLiteral("kavrin-dbtool"));

    // The main window first: its creation uses neither dialog. Both dialogs belong to it and are
    // reused for every showing.
    kavrin::TMainFRM mainWindow(kavrin::dialogPrompts());
    auto* dateDialog = new kavrin::TfrmDate(&mainWindow);
    auto* infoDialog = new kavrin::TfrmWarningInfo(&mainWindow);
    mainWindow.setDialogs(dateDialog, infoDialog);
    mainWindow.rememberLocations(&settings);
    if (start.location) {
        mainWindow.openAtStart(*start.location);
    }

    mainWindow.show();
    kavrin::KavrinApplication::exec();
    return 0;
}
