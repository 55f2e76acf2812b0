// sitemora-key: encrypts a catalogue, changes its passphrase, or decrypts it.
#include "KeyTool.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    return KeyTool::Run(argc, argv);
}
