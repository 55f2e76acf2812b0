// sitemora-find [--catalogue FILE] [--json] TEXT...
#include "FindTool.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    return FindTool::Run(argc, argv);
}
