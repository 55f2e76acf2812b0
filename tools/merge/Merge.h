#pragma once

#include "CommandLine.h"

#include <QString>

// sitemora-import --merge IN: appends Sitemora's own JSON export or a browser's bookmark
// file to an existing catalogue, all in one transaction.
namespace Merge {

// What IN may be, for the program's --help.
inline constexpr const char* kDescription =
    "  sitemora-import [--catalogue FILE | --user-catalogue] --merge IN\n"
    "                             adds the sites of IN to an existing catalogue\n"
    "                             (FILE, the desktop menu's, or by default\n"
    "                             Sitemora.mdb here), all at once or not at all.\n"
    "                             IN is told by its content:\n"
    "                             - a JSON export of sitemora-export: into an empty\n"
    "                               catalogue it comes back exactly (same numbers),\n"
    "                               into one with sites it is added with new numbers\n"
    "                             - a browser's bookmark file: each http, https, ftp\n"
    "                               or file bookmark becomes a site, its folder and\n"
    "                               description its paragraphs; addresses the\n"
    "                               catalogue already has are skipped\n"
    "                             Before it writes, it backs the catalogue up as\n"
    "                             sitemora-backup now does (unless the newest backup\n"
    "                             already holds it) and names that backup last:\n"
    "                             sitemora-backup restore NAME undoes the merge. When\n"
    "                             no backup can be made, nothing is added";

// Adds `input` to the catalogue at `catalogue` and returns the exit status; messages
// name `program`.
int Run(const CommandLine::Program& program, const QString& catalogue, const QString& input);

} // namespace Merge
