#include "UserFolder.h"

#include "Catalogue.h"
#include "Failure.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// mkdir -p with 0700 for every folder it makes, as the desktop's base directory rules
// ask: the folders lead to a file full of passwords.
bool MakeOwnerOnlyPath(const QString& folder, QString* error) {
    QString path;
    for (const QString& name : QDir(folder).absolutePath().split('/', Qt::SkipEmptyParts)) {
        path += QLatin1Char('/') + name;
        if (::mkdir(QFile::encodeName(path).constData(), 0700) != 0 && errno != EEXIST) {
            *error = QStringLiteral("无法创建文件夹 %1：%2").arg(path, SystemError());
            return false;
        }
    }
    return true;
}

} // namespace

QString UserCatalogueFolder() {
    const QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    const QString base = QDir::isAbsolutePath(dataHome)
                             ? dataHome
                             : QDir::homePath() + QStringLiteral("/.local/share");
    return QDir::cleanPath(base + QStringLiteral("/sitemora"));
}

bool EnterCatalogueFolder(const QString& folder, QString* error) {
    if (!MakeOwnerOnlyPath(folder, error))
        return false;
    const QString catalogue = QDir(folder).filePath(QString::fromLatin1(Catalogue::kFileName));
    QString createError;
    // A second copy started at the same moment may win the race to write the file; its
    // catalogue is as good as ours.
    if (!QFileInfo::exists(catalogue) && !Catalogue::CreateEmpty(catalogue, &createError) &&
        !QFileInfo::exists(catalogue)) {
        *error = QStringLiteral("无法创建网站目录文件 %1：%2").arg(catalogue, createError);
        return false;
    }
    if (::chdir(QFile::encodeName(folder).constData()) != 0) {
        *error = QStringLiteral("无法进入文件夹 %1：%2").arg(folder, SystemError());
        return false;
    }
    return true;
}
