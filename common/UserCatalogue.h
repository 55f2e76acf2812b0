#pragma once

#include <QString>

// The catalogue a start from the desktop menu works on, and the folder that holds it. The
// program and every tool reach it the same way (--user-catalogue).

// The catalogue's file name, wherever a program looks for it.
inline constexpr char kCatalogueFile[] = "Sitemora.mdb";

// $XDG_DATA_HOME/sitemora, or ~/.local/share/sitemora when XDG_DATA_HOME is unset, empty or
// not an absolute path.
QString UserCatalogueFolder();

// kCatalogueFile in UserCatalogueFolder().
QString UserCataloguePath();

// mkdir -p that makes every missing folder readable by its owner alone, as the desktop's
// base directory rules ask: the folders lead to a file full of passwords. On failure
// `*failed` is the folder that could not be made, and errno says why.
bool MakeOwnerOnlyPath(const QString& folder, QString* failed);
