#include <locale>
#include <stdexcept>

#include "forms/KavrinApplication.h"
#include "forms/uFrmDate.h"
#include "forms/uFrmMain.h"
#include "forms/uFrmWarningInfo.h"

int main(int argc, char** argv) {
    // Dates and times are shown in the user's own formats.
    try {
        std::locale::global(std::locale(""));
    } catch (const std::runtime_error&) {
        std::locale::global(std::locale::classic());
    }

    kavrin::KavrinApplication app(argc, argv);
    // The title of the error boxes of unhandled exceptions.
    kavrin::KavrinApplication::setApplicationName(QStringLiteral("KavrinServer Database Tool"));

    // The main window first: its creation uses neither dialog. Both dialogs belong to it and are
    // reused for every showing.
    kavrin::TMainFRM mainWindow;
    auto* dateDialog = new kavrin::TfrmDate(&mainWindow);
    auto* infoDialog = new kavrin::TfrmWarningInfo(&mainWindow);
    mainWindow.setDialogs(dateDialog, infoDialog);

    mainWindow.show();
    kavrin::KavrinApplication::exec();
    return 0;
}
