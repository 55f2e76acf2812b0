// sitemora-key with a cheap key derivation, so that a test can kill it hundreds of times in
// a few seconds; its files open only in test programs that set the same cost.
#include "CipherTesting.h"
#include "KeyTool.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    UseCheapKeys();
    return KeyTool::Run(argc, argv);
}
