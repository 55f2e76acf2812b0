// sitemora-export [--catalogue FILE | --user-catalogue] --format json|csv|bookmarks [--force] OUT
#include "Export.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    return Export::Run(argc, argv);
}
