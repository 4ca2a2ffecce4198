#include "link/WholeFile.h"

#include <QFileInfo>
#include <QSaveFile>
#include <cerrno>
#include <unistd.h>

namespace kelm {

namespace {
bool isDevice(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() && !info.isFile() && !info.isDir();
}

bool openForSaving(QSaveFile &file, QString *error)
{
    if (QFileInfo(file.fileName()).isDir()) {
        *error = qt_error_string(EISDIR);
        return false;
    }
    // Unbuffered, so that a write the disk refuses fails at once, with its reason: commit() does
    // not report a buffer it could not write (a full disk, a size limit).
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        *error = file.errorString();
        return false;
    }
    return true;
}
} // namespace

bool saveWholeFile(const QString &path, const QByteArray &contents, QString *error)
{
    if (isDevice(path)) {
        // /dev/stdout, a pipe: written into, never replaced by a plain file.
        QFile device(path);
        errno = 0;
        if (device.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
            device.write(contents) == contents.size())
            return true;
        *error = errno != 0 ? qt_error_string(errno) : device.errorString();
        return false;
    }
    QSaveFile file(path);
    if (!openForSaving(file, error))
        return false;
    errno = 0;
    // A write cut short counts as failed, whatever the file engine thinks of it.
    if (file.write(contents) != contents.size()) {
        // The file engine loses the system's reason for a write cut short; errno still has it.
        *error = errno != 0 ? qt_error_string(errno) : file.errorString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

bool canSaveWholeFile(const QString &path, QString *error)
{
    if (isDevice(path)) {
        if (::access(QFile::encodeName(path).constData(), W_OK) == 0)
            return true;
        *error = qt_error_string(errno);
        return false;
    }
    QSaveFile file(path);
    if (!openForSaving(file, error))
        return false;
    file.cancelWriting();
    return true;
}

} // namespace kelm
