#include "UserFolder.h"

#include "Catalogue.h"
#include "Failure.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

bool EnterCatalogueFolder(const QString& folder, QString* error) {
    if (QString failed; !MakeOwnerOnlyPath(folder, &failed)) {
        *error = QStringLiteral("无法创建文件夹 %1：%2").arg(failed, SystemError());
        return false;
    }
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
