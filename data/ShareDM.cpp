#include "ShareDM.h"

TShareDataModule::TShareDataModule(Dialogs& dialogs) : dialogs_(dialogs) {
    Bind(ADOQueryTemp);
    Bind(ADOQueryTemp2);
}
