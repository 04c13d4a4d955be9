#include "outputfile.h"
#include "posix.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace {

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString folderOf(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash <= 0 ? QStringLiteral("/") : path.left(slash);
}

QString nameOf(const QString &path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

// The file a write to path lands in: symbolic links followed to the end, also a dangling one.
QString finalTarget(const QString &path)
{
    QString current = QFileInfo(path).absoluteFilePath();
    for (int hops = 0; hops < 40; ++hops) {
        const QByteArray name = encoded(current);
        struct stat st = {};
        if (::lstat(name.constData(), &st) != 0 || !S_ISLNK(st.st_mode))
            return current;
        QByteArray link(PATH_MAX, '\0');
        const ssize_t n = ::readlink(name.constData(), link.data(), link.size());
        if (n <= 0)
            return current;
        link.truncate(n);
        const QString next = QFile::decodeName(link);
        current = next.startsWith(QLatin1Char('/')) ? next : folderOf(current) + u'/' + next;
    }
    return current;
}

struct Fd
{
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int release() { return std::exchange(fd, -1); }
};

bool copyAll(int from, int to)
{
    if (::lseek(from, 0, SEEK_SET) < 0 || ::lseek(to, 0, SEEK_SET) < 0)
        return false;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n =
            posix::retryOnInterrupt([&] { return ::read(from, buffer, sizeof buffer); });
        if (n == 0)
            return true;
        if (n < 0)
            return false;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = posix::retryOnInterrupt(
                [&] { return ::write(to, buffer + done, size_t(n - done)); });
            if (w < 0)
                return false;
            done += w;
        }
    }
}

QString hexOf(const QByteArray &data, int length)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex().left(length));
}

} // namespace

OutputFile::OutputFile(const QString &output) : m_output(output) {}

OutputFile::~OutputFile()
{
    for (int fd : {m_partFd, m_copyFd, m_targetFd}) {
        if (fd >= 0)
            ::close(fd); // drops the locks
    }
}

QString OutputFile::partPrefix(const QString &fileName)
{
    return QStringLiteral(".kelvane-part-%1-").arg(hexOf(encoded(fileName), 8));
}

QString OutputFile::asideName() const
{
    return folderOf(m_target) + QStringLiteral("/.kelvane-aside-") +
           hexOf(encoded(nameOf(m_target)), 8);
}

// A file system may hide that two names are one file (a case-insensitive FUSE mount reports
// Song.mp2 and song.mp2 with inodes of their own). Where the output looks like the source
// (same size and time), the output is moved aside for a moment: if the source goes with it,
// they are one file. Moved back at once; a run killed meanwhile is put right by the next.
bool OutputFile::hidesTheSource(const QString &source, const struct stat &target)
{
    struct stat in = {};
    if (::stat(encoded(source).constData(), &in) != 0 || in.st_size != target.st_size ||
        in.st_mtim.tv_sec != target.st_mtim.tv_sec || in.st_mtim.tv_nsec != target.st_mtim.tv_nsec)
        return false;
    const QByteArray aside = encoded(asideName());
    if (::rename(encoded(m_target).constData(), aside.constData()) != 0)
        return false;
    // An open, not a stat: the kernel may still hold the source's name in its cache.
    const int fd = ::open(encoded(source).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    const bool gone = fd < 0 && errno == ENOENT;
    if (fd >= 0)
        ::close(fd);
    // The file that went is the source: back under the source's name, as the user named it.
    ::rename(aside.constData(), encoded(gone ? source : m_target).constData());
    return gone;
}

OutputFile::Result OutputFile::prepare(const QString &source, QString &why, QStringList &log)
{
    m_target = finalTarget(m_output);
    // An output moved aside by a run killed at that moment goes back first.
    const QByteArray aside = encoded(asideName());
    struct stat st = {};
    if (::lstat(aside.constData(), &st) == 0 && ::stat(encoded(m_target).constData(), &st) != 0 &&
        ::rename(aside.constData(), encoded(m_target).constData()) == 0)
        log.append(QStringLiteral("The earlier output, left aside by an interrupted conversion, "
                                  "was put back: %1")
                       .arg(m_target));
    if (::stat(encoded(m_target).constData(), &st) == 0) {
        m_targetExisted = true;
        if (!S_ISREG(st.st_mode)) {
            m_mode = Mode::Direct;
            m_writePath = m_target;
            return Result::Ready;
        }
        if (hidesTheSource(source, st)) {
            why = QStringLiteral("The output \"%1\" is the source file itself. Choose another "
                                 "output file.")
                      .arg(m_output);
            return Result::Refused;
        }
    }
    // A copy kept aside by earlier versions of the program, which renamed the output away.
    const QString oldKept = m_target + QStringLiteral(".kelvane-backup");
    if (QFileInfo::exists(oldKept))
        log.append(QStringLiteral("A copy kept by an interrupted earlier conversion is still "
                                  "there: %1")
                       .arg(oldKept));
    return preparePart(why, log);
}

OutputFile::Result OutputFile::preparePart(QString &why, QStringList &log)
{
    const QString folder = folderOf(m_target);
    const QString name = nameOf(m_target);
    // ffmpeg picks the format by the extension, so the part file keeps the output's.
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString ext = dot > 0 && name.size() - dot <= 17 ? name.mid(dot) : QString();
    const QByteArray folderName = encoded(folder);

    // An anonymous file, locked before it gets a name, so no other job ever sees it unlocked.
    int fd = ::open(folderName.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    const bool anonymous = fd >= 0;
    if (anonymous)
        ::flock(fd, LOCK_EX | LOCK_NB);
    QString path;
    int createError = 0;
    for (int tries = 0; tries < 100; ++tries) {
        path = folder + u'/' + partPrefix(name) +
               QStringLiteral("%1").arg(QRandomGenerator::global()->generate(), 8, 16,
                                        QLatin1Char('0')) +
               ext;
        const QByteArray partName = encoded(path);
        if (anonymous) {
            const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
            if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, partName.constData(),
                         AT_SYMLINK_FOLLOW) == 0)
                break;
        } else {
            fd = ::open(partName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                        0666);
            if (fd >= 0) {
                ::flock(fd, LOCK_EX | LOCK_NB);
                break;
            }
        }
        createError = errno;
        if (createError != EEXIST)
            break;
    }
    if (createError != 0 && createError != EEXIST) {
        if (anonymous)
            ::close(fd);
        return prepareInPlace(QStringLiteral("the folder %1 takes no new file (%2)")
                                  .arg(folder, errorText(createError)),
                              why, log);
    }
    if (createError == EEXIST) {
        if (anonymous)
            ::close(fd);
        why = QStringLiteral("no free name for a new file in %1").arg(folder);
        return Result::Failed;
    }
    m_partFd = fd;
    m_writePath = path;
    m_mode = Mode::Part;
    struct stat part = {};
    ::fstat(fd, &part);
    m_partDev = part.st_dev;
    m_partIno = part.st_ino;

    if (otherJobWrites(log)) {
        dropPart();
        why = QStringLiteral("Another conversion is writing \"%1\" now. Choose another output "
                             "file, or wait until that conversion has ended.")
                  .arg(m_output);
        return Result::Refused;
    }

    struct stat target = {};
    if (::stat(encoded(m_target).constData(), &target) != 0)
        return Result::Ready;
    // The new file is the old one's: its permissions, and its owner where that may be given.
    if (::geteuid() == 0 && (target.st_uid != part.st_uid || target.st_gid != part.st_gid))
        (void)::fchown(fd, target.st_uid, target.st_gid);
    ::fchmod(fd, target.st_mode & 07777);
    // In a sticky folder only the file's owner (or the folder's) may replace it.
    struct stat dir = {};
    const uid_t me = ::geteuid();
    if (::stat(folderName.constData(), &dir) == 0 && (dir.st_mode & S_ISVTX) && me != 0 &&
        target.st_uid != me && dir.st_uid != me) {
        dropPart();
        return prepareInPlace(
            QStringLiteral("in the sticky folder %1 only the owner may replace %2")
                .arg(folder, name),
            why, log);
    }
    return Result::Ready;
}

bool OutputFile::otherJobWrites(QStringList &log)
{
    const QString folder = folderOf(m_target);
    const QByteArray prefix = encoded(partPrefix(nameOf(m_target)));
    DIR *dir = ::opendir(encoded(folder).constData());
    if (!dir)
        return false;
    QList<QByteArray> names;
    while (const dirent *entry = ::readdir(dir)) {
        if (std::strncmp(entry->d_name, prefix.constData(), size_t(prefix.size())) == 0)
            names.append(QByteArray(entry->d_name));
    }
    ::closedir(dir);
    bool busy = false;
    for (const QByteArray &n : names) {
        const QString path = folder + u'/' + QFile::decodeName(n);
        const QByteArray pathName = encoded(path);
        const Fd fd(::open(pathName.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        struct stat st = {};
        if (fd.fd < 0 || ::fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (st.st_dev == m_partDev && st.st_ino == m_partIno)
            continue;
        if (::flock(fd.fd, LOCK_EX | LOCK_NB) != 0) {
            busy = true;
            continue;
        }
        // Unlocked: its job has ended without removing it, so it was killed. Removed only if
        // the name still holds the file that was found unlocked.
        struct stat now = {};
        if (::lstat(pathName.constData(), &now) == 0 && now.st_dev == st.st_dev &&
            now.st_ino == st.st_ino && ::unlink(pathName.constData()) == 0)
            log.append(
                QStringLiteral("A part file left by an interrupted conversion was removed: %1")
                    .arg(path));
    }
    return busy;
}

OutputFile::Result OutputFile::prepareInPlace(const QString &cause, QString &why, QStringList &log)
{
    const QByteArray target = encoded(m_target);
    if (!m_targetExisted || ::access(target.constData(), W_OK) != 0) {
        why = QStringLiteral("the output file cannot be written: %1").arg(cause);
        return Result::Failed;
    }
    const auto cannot = [&](const QString &what) {
        why = QStringLiteral("the output file cannot be replaced in one step, as %1, and %2")
                  .arg(cause, what);
        return Result::Failed;
    };
    Fd targetFd(::open(target.constData(), O_RDONLY | O_CLOEXEC));
    struct stat st = {};
    if (targetFd.fd < 0 || ::fstat(targetFd.fd, &st) != 0)
        return cannot(QStringLiteral("the output cannot be read (%1)").arg(errorText(errno)));
    if (::flock(targetFd.fd, LOCK_EX | LOCK_NB) != 0) {
        why = QStringLiteral("Another conversion is writing \"%1\" now. Choose another output "
                             "file, or wait until that conversion has ended.")
                  .arg(m_output);
        return Result::Refused;
    }
    // The copy of the earlier contents goes where this user alone may write.
    const QString keep = QStringLiteral("/tmp/kelvane-%1").arg(::geteuid());
    ::mkdir(encoded(keep).constData(), 0700);
    struct stat keepSt = {};
    if (::lstat(encoded(keep).constData(), &keepSt) != 0 || !S_ISDIR(keepSt.st_mode) ||
        keepSt.st_uid != ::geteuid() || (keepSt.st_mode & 077) != 0)
        return cannot(QStringLiteral("%1 cannot hold a copy of it").arg(keep));
    m_copy =
        keep + u'/' +
        hexOf(QByteArray::number(quint64(st.st_dev)) + ':' + QByteArray::number(quint64(st.st_ino)),
              16) +
        QStringLiteral(".kept");
    const QByteArray copyName = encoded(m_copy);
    m_targetDev = st.st_dev;
    m_targetIno = st.st_ino;
    m_targetFd = targetFd.release();
    m_mode = Mode::InPlace;
    m_writePath = m_target;

    Fd copy(::open(copyName.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (copy.fd < 0 || ::flock(copy.fd, LOCK_EX | LOCK_NB) != 0)
        return cannot(
            QStringLiteral("no copy of it can be kept in %1 (%2)").arg(keep, errorText(errno)));
    struct stat copySt = {};
    ::fstat(copy.fd, &copySt);
    if (copySt.st_size > 0) {
        // A copy that nobody holds: the run that made it was killed while ffmpeg wrote.
        const Fd out(::open(target.constData(), O_WRONLY | O_TRUNC | O_CLOEXEC));
        if (out.fd >= 0 && copyAll(copy.fd, out.fd) && ::fsync(out.fd) == 0)
            log.append(QStringLiteral("The earlier output, left half-written by an interrupted "
                                      "conversion, was put back: %1")
                           .arg(m_target));
    }
    const Fd from(::open(target.constData(), O_RDONLY | O_CLOEXEC));
    if (from.fd < 0 || ::ftruncate(copy.fd, 0) != 0 || !copyAll(from.fd, copy.fd) ||
        ::fsync(copy.fd) != 0) {
        const int error = errno;
        ::unlink(copyName.constData());
        m_mode = Mode::None;
        return cannot(
            QStringLiteral("no copy of it can be kept in %1 (%2)").arg(keep, errorText(error)));
    }
    m_copyFd = copy.release();
    log.append(QStringLiteral("As %1, ffmpeg writes the output in place; its earlier contents "
                              "are kept in %2 until it is whole")
                   .arg(cause, m_copy));
    return Result::Ready;
}

void OutputFile::dropPart()
{
    if (partIsOurs())
        ::unlink(encoded(m_writePath).constData());
    ::close(std::exchange(m_partFd, -1));
    m_mode = Mode::None;
    m_writePath.clear();
}

bool OutputFile::partIsOurs() const
{
    struct stat st = {};
    return ::lstat(encoded(m_writePath).constData(), &st) == 0 && st.st_dev == m_partDev &&
           st.st_ino == m_partIno;
}

QString OutputFile::commit(QStringList &log)
{
    switch (m_mode) {
    case Mode::Part: {
        if (::fsync(m_partFd) != 0) {
            const QString error = errorText(errno);
            discard(log);
            return QStringLiteral("the new output could not be written to disk (%1)").arg(error);
        }
        if (!partIsOurs()) {
            discard(log);
            return QStringLiteral("the file ffmpeg wrote was replaced by another meanwhile");
        }
        if (::rename(encoded(m_writePath).constData(), encoded(m_target).constData()) != 0) {
            const QString error = errorText(errno);
            discard(log);
            return QStringLiteral("the new output could not take the place of %1 (%2)")
                .arg(m_target, error);
        }
        m_mode = Mode::None;
        return {};
    }
    case Mode::InPlace:
        ::unlink(encoded(m_copy).constData());
        m_mode = Mode::None;
        return {};
    case Mode::Direct:
    case Mode::None:
        return {};
    }
    return {};
}

void OutputFile::discard(QStringList &log)
{
    switch (m_mode) {
    case Mode::Part: {
        // A file ffmpeg never wrote to is no output of its: removed without a word.
        struct stat st = {};
        const bool written = ::fstat(m_partFd, &st) == 0 && st.st_size > 0;
        if (partIsOurs() && ::unlink(encoded(m_writePath).constData()) == 0 && written)
            log.append(
                QStringLiteral("The unfinished output file was removed: %1").arg(m_writePath));
        if (m_targetExisted)
            log.append(QStringLiteral("The earlier output file was not touched: %1").arg(m_target));
        break;
    }
    case Mode::InPlace: {
        struct stat st = {};
        const Fd out(::open(encoded(m_target).constData(), O_WRONLY | O_CLOEXEC));
        if (out.fd >= 0 && ::fstat(out.fd, &st) == 0 && st.st_dev == m_targetDev &&
            st.st_ino == m_targetIno && ::ftruncate(out.fd, 0) == 0 && copyAll(m_copyFd, out.fd) &&
            ::fsync(out.fd) == 0) {
            ::unlink(encoded(m_copy).constData());
            log.append(QStringLiteral("The earlier output file was put back: %1").arg(m_target));
        } else {
            log.append(QStringLiteral("The earlier output file could not be put back; its "
                                      "contents are kept in %1")
                           .arg(m_copy));
        }
        break;
    }
    case Mode::Direct:
    case Mode::None:
        break;
    }
    m_mode = Mode::None;
}
