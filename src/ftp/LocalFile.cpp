#include "ftp/LocalFile.h"

#include "crypto/PosixIo.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zephra::ftp {

namespace {


QString errnoText(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

// The process's umask without changing it: umask(0) followed by umask(mask) would let a file
// another thread creates in between come out world-writable. Linux says it in /proc.
mode_t currentUmask()
{
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status))
            found = std::sscanf(line, "Umask: %o", &mask) == 1;
        std::fclose(status);
        if (found)
            return mode_t(mask);
    }
    return 022;  // the usual one, for a kernel without the field
}

QByteArray directoryOf(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash > 0 ? path.left(slash) : slash == 0 ? QByteArray("/") : QByteArray(".");
}

// A write-only device on a descriptor it does not own. Not a QFile: a write that fills the disk
// ends in a short write, which QFile reports as "Unknown error"; this one says what the system
// says ("No space left on device").
class DescriptorWriter final : public QIODevice {
public:
    explicit DescriptorWriter(int fd) : m_fd(fd) {}
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override
    {
        qint64 written = 0;
        while (written < size) {
            const ssize_t n = ::write(m_fd, data + written, size_t(size - written));
            if (n > 0) {
                written += n;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            // A write that takes nothing without an error only happens when there is no room.
            setErrorString(errnoText(n == 0 ? ENOSPC : errno));
            return -1;
        }
        return written;
    }

private:
    int m_fd;
};

std::unique_ptr<QIODevice> deviceOn(int fd)
{
    auto device = std::make_unique<DescriptorWriter>(fd);
    if (!device->open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return nullptr;
    return device;
}

}  // namespace

LocalFileReplacement::LocalFileReplacement(QString target) : m_target(std::move(target)) {}

LocalFileReplacement::~LocalFileReplacement()
{
    if (!m_committed)
        discard();
}

bool LocalFileReplacement::open(QString* error)
{
    auto refuse = [&](const QString& text) {
        if (error)
            *error = text;
        return false;
    };
    if (m_fd >= 0 || m_committed)
        return refuse(QStringLiteral("%1 is already being written").arg(m_target));
    m_targetNative = QFile::encodeName(m_target);
    if (m_targetNative.isEmpty())
        return refuse(QStringLiteral("no local file name given"));
    if (m_targetNative.endsWith('/'))
        return refuse(QStringLiteral("%1 is a directory").arg(m_target));

    // lstat: a link is not followed, so its target's mode says nothing about the new file.
    m_mode = 0666 & ~currentUmask();
    struct stat st {};
    if (::lstat(m_targetNative.constData(), &st) == 0) {
        m_targetExisted = true;
        if (S_ISDIR(st.st_mode))
            return refuse(QStringLiteral("%1 is a directory").arg(m_target));
        if (S_ISREG(st.st_mode))
            m_mode = st.st_mode & 0777;
        else if (!S_ISLNK(st.st_mode))
            return refuse(QStringLiteral("%1 is not a regular file").arg(m_target));
    } else if (errno != ENOENT) {
        return refuse(QStringLiteral("cannot write %1: %2").arg(m_target, errnoText(errno)));
    }

    // Hidden and beside the target, so the rename stays on one file system; locked while open,
    // so a later run can tell it from one a killed run left behind.
    std::string tempPath;
    const int fd = crypto::createTemporaryBeside(m_targetNative.toStdString(), &tempPath);
    if (fd < 0)
        return refuse(QStringLiteral("cannot write %1: %2").arg(m_target, errnoText(errno)));
    const QByteArray temp = QByteArray::fromStdString(tempPath);
    // mkostemp makes it 0600 already; said again so no umask or library default can widen it.
    ::fchmod(fd, 0600);
    m_fd = fd;
    m_tempNative = temp;
    m_device = deviceOn(fd);
    if (!m_device) {
        discard();
        return refuse(QStringLiteral("cannot write %1").arg(m_target));
    }
    return true;
}

bool LocalFileReplacement::isOpen() const { return m_fd >= 0; }

QIODevice* LocalFileReplacement::device() { return m_fd >= 0 ? m_device.get() : nullptr; }

int LocalFileReplacement::handle() const { return m_fd; }

QString LocalFileReplacement::temporaryPath() const
{
    return m_tempNative.isEmpty() ? QString() : QFile::decodeName(m_tempNative);
}

bool LocalFileReplacement::commit(QString* error)
{
    if (m_committed)
        return true;
    auto failWith = [&](const QString& text) {
        discard();
        if (error)
            *error = text;
        return false;
    };
    if (m_fd < 0)
        return failWith(QStringLiteral("cannot write %1: nothing was written").arg(m_target));
    m_device.reset();
    // The data reaches the disk before the name does: a crash right after the rename must not
    // leave an empty or partial file under the target's name.
    if (::fchmod(m_fd, m_mode) != 0 || ::fsync(m_fd) != 0)
        return failWith(QStringLiteral("cannot write %1: %2").arg(m_target, errnoText(errno)));
    // Renamed while still open and locked, so no clean-up of stale files can take it first.
    if (::rename(m_tempNative.constData(), m_targetNative.constData()) != 0)
        return failWith(QStringLiteral("cannot replace %1: %2").arg(m_target, errnoText(errno)));
    m_tempNative.clear();
    m_committed = true;
    ::close(std::exchange(m_fd, -1));  // flushed above; the file is in place
    // The directory entry too; a file system that cannot flush a directory is no reason to fail.
    const int dirFd = ::open(directoryOf(m_targetNative).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

qint64 LocalFileReplacement::keepIncomplete()
{
    if (m_committed || m_fd < 0 || m_targetExisted) {
        discard();
        return 0;
    }
    m_device.reset();
    struct stat st {};
    if (::fstat(m_fd, &st) != 0 || st.st_size <= 0 || ::fchmod(m_fd, m_mode) != 0 || ::fsync(m_fd) != 0) {
        discard();
        return 0;
    }
    // RENAME_NOREPLACE: a file the user (or another download) put there meanwhile stays as it is.
    if (::renameat2(AT_FDCWD, m_tempNative.constData(), AT_FDCWD, m_targetNative.constData(), RENAME_NOREPLACE) != 0) {
        // A file system without it: a hard link is just as unwilling to replace anything.
        if ((errno != EINVAL && errno != ENOSYS) || ::link(m_tempNative.constData(), m_targetNative.constData()) != 0) {
            discard();
            return 0;
        }
        ::unlink(m_tempNative.constData());
    }
    m_tempNative.clear();
    ::close(std::exchange(m_fd, -1));
    return qint64(st.st_size);
}

void LocalFileReplacement::discard()
{
    if (m_committed)
        return;
    m_device.reset();
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_tempNative.isEmpty()) {
        ::unlink(m_tempNative.constData());
        m_tempNative.clear();
    }
}

LocalFileContinuation::LocalFileContinuation(QString target, qint64 from) : m_target(std::move(target)), m_from(from) {}

LocalFileContinuation::~LocalFileContinuation() { close(); }

bool LocalFileContinuation::open(QString* error)
{
    auto refuse = [&](const QString& text) {
        close();
        if (error)
            *error = text;
        return false;
    };
    if (m_fd >= 0)
        return refuse(QStringLiteral("%1 is already being written").arg(m_target));
    const QByteArray native = QFile::encodeName(m_target);
    // No O_TRUNC: the bytes already there are the point. No O_APPEND either: positional writes
    // (pwrite) would then land at the end whatever position they name.
    const int fd = ::open(native.constData(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ELOOP)
            return refuse(QStringLiteral("cannot continue %1: it is a symbolic link").arg(m_target));
        return refuse(QStringLiteral("cannot continue %1: %2").arg(m_target, errnoText(errno)));
    }
    m_fd = fd;
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return refuse(QStringLiteral("cannot continue %1: %2").arg(m_target, errnoText(errno)));
    if (!S_ISREG(st.st_mode))
        return refuse(QStringLiteral("cannot continue %1: it is not a regular file").arg(m_target));
    if (st.st_size != m_from)
        return refuse(QStringLiteral("cannot continue %1: it holds %2 bytes, not the %3 it held when measured")
                          .arg(m_target)
                          .arg(qint64(st.st_size))
                          .arg(m_from));
    if (::lseek(fd, off_t(m_from), SEEK_SET) < 0)
        return refuse(QStringLiteral("cannot continue %1: %2").arg(m_target, errnoText(errno)));
    m_device = deviceOn(fd);
    if (!m_device)
        return refuse(QStringLiteral("cannot continue %1").arg(m_target));
    return true;
}

QIODevice* LocalFileContinuation::device() { return m_fd >= 0 ? m_device.get() : nullptr; }

int LocalFileContinuation::handle() const { return m_fd; }

bool LocalFileContinuation::finish(QString* error)
{
    if (m_fd < 0) {
        if (error)
            *error = QStringLiteral("cannot continue %1: it is not open").arg(m_target);
        return false;
    }
    m_device.reset();
    const bool ok = ::fsync(m_fd) == 0;
    const int err = errno;
    close();
    if (!ok && error)
        *error = QStringLiteral("cannot write %1: %2").arg(m_target, errnoText(err));
    return ok;
}

void LocalFileContinuation::close()
{
    m_device.reset();
    if (m_fd >= 0)
        ::close(std::exchange(m_fd, -1));
}

bool isReplacementTemporaryName(const QString& name)
{
    return crypto::isTemporaryName(QFile::encodeName(name).toStdString());
}

}  // namespace zephra::ftp
