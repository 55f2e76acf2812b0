#pragma once

#include "UserCatalogue.h"

#include <QString>

// Makes `folder` the current directory, first creating it (and any missing parent) readable
// by its owner alone, and in it an empty catalogue when there is none. An existing folder
// or catalogue is used as it is. On failure the current directory is unchanged and
// `*error` names the path and the system's reason in a sentence for the window.
bool EnterCatalogueFolder(const QString& folder, QString* error);
