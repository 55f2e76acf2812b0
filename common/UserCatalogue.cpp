#include "UserCatalogue.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <sys/stat.h>

QString UserCatalogueFolder() {
    const QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    const QString base = QDir::isAbsolutePath(dataHome)
                             ? dataHome
                             : QDir::homePath() + QStringLiteral("/.local/share");
    return QDir::cleanPath(base + QStringLiteral("/sitemora"));
}

QString UserCataloguePath() {
    return UserCatalogueFolder() + QLatin1Char('/') + QLatin1String(kCatalogueFile);
}

bool MakeOwnerOnlyPath(const QString& folder, QString* failed) {
    QString path;
    for (const QString& name : QDir(folder).absolutePath().split('/', Qt::SkipEmptyParts)) {
        path += QLatin1Char('/') + name;
        if (::mkdir(QFile::encodeName(path).constData(), 0700) != 0 && errno != EEXIST) {
            *failed = path;
            return false;
        }
    }
    return true;
}
