#include "settings/settingsfile.h"

#include "app/uniquefd.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <utility>

namespace {

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString kindOf(mode_t mode)
{
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO");
    if (S_ISDIR(mode))
        return QStringLiteral("a directory");
    if (S_ISCHR(mode))
        return QStringLiteral("a character device");
    if (S_ISBLK(mode))
        return QStringLiteral("a block device");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    return QStringLiteral("no regular file");
}

QString tooLarge()
{
    return QStringLiteral("it is larger than 1 MiB");
}

bool writeAll(int fd, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        left -= written;
    }
    return true;
}

// What a crash left of earlier writes: this program's temporary names only, a minute old.
void removeLeftovers(const QFileInfo &target)
{
    const QRegularExpression own(
        QStringLiteral("^\\.%1\\.[0-9a-f]{8}$").arg(QRegularExpression::escape(target.fileName())));
    const QDateTime old = QDateTime::currentDateTimeUtc().addSecs(-60);
    const QDir folder(target.absolutePath());
    for (const QFileInfo &entry :
         folder.entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks))
        if (own.match(entry.fileName()).hasMatch() && entry.lastModified().toUTC() < old)
            QFile::remove(entry.filePath());
}

// A new file with a name of its own beside target, so that renaming it over target stays
// within one file system. The umask applies to its mode as to any file the user creates.
int createBeside(const QFileInfo &target, QByteArray *path)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        *path = QFile::encodeName(
            QStringLiteral("%1/.%2.%3")
                .arg(target.absolutePath(), target.fileName())
                .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0')));
        const int fd = ::open(path->constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

} // namespace

SettingsFile::SettingsFile(const QString &path)
    : m_path(path)
{
    load();
}

void SettingsFile::load()
{
    const QByteArray path = QFile::encodeName(m_path);
    struct stat info = {};
    struct stat link = {};
    const bool isLink = ::lstat(path.constData(), &link) == 0 && S_ISLNK(link.st_mode);
    if (::stat(path.constData(), &info) != 0) {
        const int error = errno;
        if (error == ENOENT && !isLink) {
            m_target = QFile::encodeName(QFileInfo(m_path).absoluteFilePath());
            return; // nothing stored yet
        }
        m_problem = error == ENOENT
            ? QStringLiteral("it links to %1, which does not exist")
                  .arg(QFile::symLinkTarget(m_path))
            : QStringLiteral("it cannot be opened: %1").arg(errorText(error));
        return;
    }

    const std::unique_ptr<char, decltype(&std::free)> resolved(
        ::realpath(path.constData(), nullptr), &std::free);
    if (!resolved) {
        m_problem = QStringLiteral("it cannot be opened: %1").arg(errorText(errno));
        return;
    }
    m_target = resolved.get();
    if (!S_ISREG(info.st_mode)) {
        m_problem = isLink ? QStringLiteral("it links to %1, which is %2")
                                 .arg(QFile::decodeName(m_target), kindOf(info.st_mode))
                           : QStringLiteral("it is %1").arg(kindOf(info.st_mode));
        return;
    }
    if (info.st_size > maximumSize) {
        m_problem = tooLarge();
        return;
    }

    const UniqueFd fd(
        ::open(m_target.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.isValid()) {
        m_problem = QStringLiteral("it cannot be opened: %1").arg(errorText(errno));
        return;
    }
    if (::fstat(fd.get(), &m_identity) != 0 || !S_ISREG(m_identity.st_mode)) {
        m_problem = QStringLiteral("it changed while it was read");
        return;
    }
    QByteArray contents;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            m_problem = QStringLiteral("it cannot be read: %1").arg(errorText(errno));
            return;
        }
        if (got == 0)
            break;
        contents.append(buffer, got);
        if (contents.size() > maximumSize) {
            m_problem = tooLarge();
            return;
        }
    }
    m_exists = true;
    m_contents = contents;
}

bool SettingsFile::unchangedOnDisk() const
{
    struct stat now = {};
    if (::lstat(m_target.constData(), &now) != 0)
        return !m_exists && errno == ENOENT;
    return m_exists && now.st_dev == m_identity.st_dev && now.st_ino == m_identity.st_ino
        && now.st_size == m_identity.st_size && now.st_mtim.tv_sec == m_identity.st_mtim.tv_sec
        && now.st_mtim.tv_nsec == m_identity.st_mtim.tv_nsec;
}

// Creates the folder and those above it that are missing, each private to its owner.
bool SettingsFile::makeFolders(const QByteArray &folder) const
{
    struct stat above = {};
    if (::stat(folder.constData(), &above) == 0)
        return S_ISDIR(above.st_mode);
    const qsizetype slash = folder.lastIndexOf('/');
    if (slash <= 0 || !makeFolders(folder.left(slash))
        || ::stat(folder.left(slash).constData(), &above) != 0
        || (::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST))
        return false;
    if (::geteuid() == 0 && above.st_uid != 0)
        return ::chown(folder.constData(), above.st_uid, above.st_gid) == 0;
    return true;
}

bool SettingsFile::replace(const QByteArray &contents)
{
    if (!m_problem.isEmpty())
        return false;
    if (m_exists && contents == m_contents)
        return true;

    // A file the user made read-only stays as it is, as it did when QSettings wrote it; root
    // may write any file, so the mode is looked at too.
    if (m_exists
        && (::faccessat(AT_FDCWD, m_target.constData(), W_OK, AT_EACCESS) != 0
            || (m_identity.st_mode & 0222) == 0))
        return false;
    const QFileInfo target(QFile::decodeName(m_target));
    const QByteArray folderPath = QFile::encodeName(target.absolutePath());
    struct stat folder = {};
    if (!makeFolders(folderPath) || ::stat(folderPath.constData(), &folder) != 0)
        return false;
    removeLeftovers(target);
    QByteArray temporary;
    UniqueFd fd(createBeside(target, &temporary));
    if (!fd.isValid())
        return false;
    auto discard = qScopeGuard([&temporary] { ::unlink(temporary.constData()); });

    if (m_exists && ::fchmod(fd.get(), m_identity.st_mode & 07777) != 0)
        return false;
    // Only root can give the file to its owner; anyone else already is the owner.
    const uid_t owner = m_exists ? m_identity.st_uid : folder.st_uid;
    const gid_t group = m_exists ? m_identity.st_gid : folder.st_gid;
    if (::geteuid() == 0 && (owner != 0 || group != 0)) {
        [[maybe_unused]] const int ignored = ::fchown(fd.get(), owner, group);
    }
    struct stat written = {};
    if (!writeAll(fd.get(), contents) || ::fsync(fd.get()) != 0 || ::fstat(fd.get(), &written) != 0
        || !fd.close())
        return false;
    // Someone else's edit since the file was read is not overwritten.
    if (!unchangedOnDisk() || ::rename(temporary.constData(), m_target.constData()) != 0)
        return false;
    discard.dismiss();
    m_exists = true;
    m_contents = contents;
    m_identity = written;

    const UniqueFd renamed(::open(folderPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (renamed.isValid())
        ::fsync(renamed.get());
    return true;
}
