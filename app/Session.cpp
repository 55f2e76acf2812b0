#include "Session.h"

Session::Session(Dialogs& dialogs, DesktopOpener& desktopOpener)
    : shareDataModule_(dialogs), formNote_(&shareDataModule_, &formMain_, &desktopOpener),
      formSearch_(&formMain_) {
    formMain_.AttachDataModule(&shareDataModule_);
    formMain_.AttachForms(&formNote_, &formSearch_);
}
