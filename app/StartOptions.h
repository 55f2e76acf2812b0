#pragma once

#include <QString>

// What the command line asks of a start of the program.
struct StartOptions {
    // Work in the user's own catalogue folder instead of the current directory.
    bool userCatalogue = false;
    // Where the first passphrase comes from instead of the dialog; -1 for none.
    int passphraseFd = -1;
};

// Reads the command line before any window system is reached, so that --help and
// --version work without a display. Returns CommandLine::kGoOn with `*options` filled
// in, or the status to exit with at once (0 after --help or --version, 2 after wrong
// usage). Qt's own options (-platform, -style, ...) are let through for QApplication.
int ParseStartOptions(int argc, char** argv, StartOptions* options);

// Says on standard error, beside the window's own message, that `catalogue` is missing and
// how to make one or use the desktop menu's.
void SayHowToMakeCatalogue(const QString& catalogue);
