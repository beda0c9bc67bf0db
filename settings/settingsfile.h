// The settings file on disk: read only when it is a small regular file, replaced only whole.
#pragma once

#include <QByteArray>
#include <QString>

#include <sys/stat.h>

// The user edits this file by hand and may point it anywhere with a link. Reading it must never
// block or touch a device, and writing it must never leave less than it found.
//
// Kernel behaviour relied on:
// - stat() tells the file type without opening the file, so a FIFO (whose open blocks until a
//   writer comes, fifo_open) or a device node (whose open may have effects, a tty's raises its
//   lines) is never opened. The open that follows uses O_NONBLOCK and O_NOFOLLOW and checks the
//   type again with fstat(), in case the file was swapped in between.
// - rename() within one file system replaces the target atomically: a reader sees the old file
//   or the new one, never a mix (do_renameat2). Until fsync() of the new file has succeeded
//   nothing is renamed, so a failed write (ENOSPC, EIO, a short write) leaves the old file as it
//   was. fsync() of the folder then makes the rename itself durable.
// A crash between creating the new file and renaming it leaves ".<name>.<8 hex digits>" behind;
// the next write removes such files once they are a minute old (older than any write takes).
// QSaveFile is not used: in Qt 6.4 it can commit after a buffered write failed, and it replaces a
// link with a regular file instead of replacing what the link points to.
class SettingsFile
{
public:
    // Larger files are no settings file a person wrote; reading one would delay the shut-down.
    static constexpr qint64 maximumSize = 1024 * 1024;

    // Reads the file at once.
    explicit SettingsFile(const QString &path);

    // Why the file cannot be used, for example "it is a FIFO"; empty when it can. A missing file
    // can be used: it holds nothing yet.
    const QString &problem() const { return m_problem; }
    bool exists() const { return m_exists; }
    const QByteArray &contents() const { return m_contents; }

    // Puts contents in place of the file, or of what a link points to, and holds them from then
    // on. Refuses when the file cannot be used, is read-only (to root too), or has changed since
    // it was read. False when the old file stays. Folders it creates are private (0700); root
    // gives what it creates to the owner of the folder it creates it in, so that a user's
    // settings stay the user's under "sudo" without -H.
    bool replace(const QByteArray &contents);

private:
    void load();
    bool unchangedOnDisk() const;
    bool makeFolders(const QByteArray &folder) const;

    QString m_path;
    QByteArray m_target; // the path that is read and replaced: links resolved
    bool m_exists = false;
    QByteArray m_contents;
    QString m_problem;
    struct stat m_identity = {};
};
