// The writer of the tokens file, which it replaces whole: the content goes
// to a temporary file of mode 0600 in the target's folder, is synced, and is
// then renamed over the target, so a reader sees the old file or the new
// one, never part of one. Which path is the target, through which links,
// and what it may be, is write_destination's rule. On failure the temporary
// file is removed and the old tokens file is left as it was.
//
// A process killed between naming its temporary file and renaming it
// (SIGKILL from a batch scheduler or the OOM killer) leaves the file behind,
// with live tokens in it. Two things keep that rare and short-lived: on
// Linux the file is written and synced while it has no name (O_TMPFILE) and
// named only just before the rename, so the window is two system calls
// rather than the whole write and sync; and every login removes the
// leftovers of earlier ones (remove_abandoned_temporaries).
//
// The real os and tempfile modules do the work, not the module's `os`
// binding: the login does not otherwise use that name, and rebinding it
// to steer get_token must not change how the file is written.
#include "tokens_file.h"
#include "shared_helpers.h"
#include "write_destination.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/random.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>

namespace vandrel {
namespace {

bool close_file(PyObject* file) {
    Ref close = get_attr(file, names.close);
    return close && call(close.get(), {});
}

// config.write into a text file over the descriptor `fd` (the default
// encoding, as open(path, "w") would use), flushed and synced to disk.
// The descriptor has one owner, the caller: the file object is opened with
// closefd=False, so no failure of open() or close() can close it behind the
// caller's back, and the caller's one os.close() is the only close.
bool write_synced(PyObject* module, PyObject* os, PyObject* config, PyObject* fd) {
    Ref open = lookup_global(module, names.open);
    Ref mode = text("w");
    if (!open || !mode) return false;
    PyObject* const open_args[] = {fd, mode.get(), Py_False};
    Ref kwnames = Ref::steal(PyTuple_Pack(1, names.closefd));
    if (!kwnames) return false;
    Ref file = Ref::steal(vesk::fast_call(open.get(), open_args, 2, kwnames.get()));
    if (!file) return false;
    bool written = false;
    {
        Ref write = get_attr(config, names.write);
        Ref result = write ? call(write.get(), {file.get()}) : Ref();
        Ref flush = result ? get_attr(file.get(), names.flush) : Ref();
        Ref flushed = flush ? call(flush.get(), {}) : Ref();
        Ref fsync = flushed ? get_attr(os, names.fsync) : Ref();
        written = fsync && call(fsync.get(), {fd});
    }
    if (!written) {
        PendingError pending;
        close_file(file.get());
        return false;
    }
    return close_file(file.get());
}

// Temporary files are named ".tokens." + a random part + ".tmp".
constexpr char kTemporaryPrefix[] = ".tokens.";
constexpr char kTemporarySuffix[] = ".tmp";

// A descriptor this code opened itself and closes itself, exactly once.
class OwnedDescriptor {
 public:
    OwnedDescriptor() noexcept = default;
    explicit OwnedDescriptor(int fd) noexcept : fd_(fd) {}
    OwnedDescriptor(OwnedDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    OwnedDescriptor(const OwnedDescriptor&) = delete;
    OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;
    OwnedDescriptor& operator=(OwnedDescriptor&&) = delete;
    ~OwnedDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }

 private:
    int fd_ = -1;
};

// `path` as the bytes the kernel takes; empty, with no exception, where it
// has none (not a path, not encodable, a NUL inside): the os module's calls
// on the same path then raise what is wrong with it.
Ref file_system_path(PyObject* path) {
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(path, &raw)) {
        PyErr_Clear();
        return Ref();
    }
    return Ref::steal(raw);
}

// ------------------------------------------- leftovers of killed writers --
// A login removes the temporary files that killed writers left in the
// folder. A file is taken for abandoned only when both of these hold:
// - its last change is more than 10 minutes old. A live writer renames its
//   file within milliseconds of writing it, so a young file may be one that
//   is about to be renamed; ten minutes is beyond any write, even to a slow
//   network file system, and still removes the tokens within a working
//   session.
// - nobody holds its lock. Every writer keeps an exclusive flock on its file
//   from before the rename could be pending until after it is done, and the
//   kernel drops the lock when the writer dies. The age alone would remove
//   the file of a writer that was stopped (SIGSTOP, a suspended job or
//   machine) just before its rename, or whose file server's clock runs
//   behind; the lock alone would not cover the instant between mkstemp
//   creating a file and its writer locking it.
// Only regular files matching ".tokens.*.tmp" are removed, never through a
// symbolic link; whatever cannot be examined or removed stays, and nothing
// here can fail the login.
constexpr time_t kAbandonedAfterSeconds = 10 * 60;

bool temporary_name(const char* name) {
    const std::size_t prefix = sizeof kTemporaryPrefix - 1;
    const std::size_t suffix = sizeof kTemporarySuffix - 1;
    const std::size_t length = std::strlen(name);
    return length >= prefix + suffix && std::memcmp(name, kTemporaryPrefix, prefix) == 0 &&
           std::memcmp(name + length - suffix, kTemporarySuffix, suffix) == 0;
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void remove_if_abandoned(int folder, const char* name, time_t now) {
    struct stat seen;
    if (fstatat(folder, name, &seen, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(seen.st_mode) ||
        !(seen.st_mtime < now - kAbandonedAfterSeconds)) {
        return;
    }
    // O_NONBLOCK: a FIFO put in its place meanwhile must not block the login.
    OwnedDescriptor file(
        openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat opened;
    if (!file || fstat(file.get(), &opened) != 0 || !same_file(seen, opened)) return;
    if (flock(file.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) return;
    // Still the file that was examined under that name, and not renamed away.
    struct stat current;
    if (fstatat(folder, name, &current, AT_SYMLINK_NOFOLLOW) == 0 && same_file(current, opened)) {
        unlinkat(folder, name, 0);
    }
}

// Without the global lock (see without_gil): system calls only.
void remove_abandoned_temporaries(const char* path) {
    int folder = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return;
    DIR* listing = fdopendir(folder);
    if (listing == nullptr) {
        ::close(folder);
        return;
    }
    const time_t now = std::time(nullptr);
    while (const struct dirent* entry = readdir(listing)) {
        if (temporary_name(entry->d_name)) {
            remove_if_abandoned(folder, entry->d_name, now);
        }
    }
    closedir(listing);
}

// ------------------------------------------------------------- the write --

// A second descriptor of the temporary file, closed after the rename. It
// shares the open file with `fd`, and with it the flock taken here, so the
// lock outlasts the one close of `fd` until the rename is done. The lock is
// best effort: without it (no flock on the file system) only the age keeps
// the file from being taken for abandoned.
OwnedDescriptor keep_locked(int fd) {
    OwnedDescriptor kept(fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (kept) (void)flock(kept.get(), LOCK_EX | LOCK_NB);
    return kept;
}

// The one close of the temporary file's descriptor, on every path. A
// failing close (deferred write errors on some file systems) fails the
// write; when the write failed already, its error is the one that stays.
bool close_descriptor(PyObject* os, PyObject* fd, bool written) {
    std::optional<PendingError> pending;
    if (!written) pending.emplace();
    Ref close = get_attr(os, names.close);
    bool closed = close && call(close.get(), {fd});
    return written && closed;
}

// os.unlink(temporary), keeping the error that made it necessary.
void discard(PyObject* os, PyObject* temporary) {
    PendingError pending;
    Ref unlink = get_attr(os, names.unlink);
    if (unlink) call(unlink.get(), {temporary});
}

// os.replace(temporary, target); on failure the temporary file is removed.
bool rename_over(PyObject* os, PyObject* temporary, PyObject* target) {
    Ref replace = get_attr(os, names.replace);
    if (replace && call(replace.get(), {temporary, target})) return true;
    discard(os, temporary);
    return false;
}

enum class Outcome { kReplaced, kFailed, kRefused };

#if defined(__linux__) && defined(O_TMPFILE)
constexpr int kNameAttempts = 100;

// Eight characters of the alphabet tempfile draws from, so that the names
// of both ways of writing look alike.
void random_name_part(char (&part)[9]) {
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789_";
    unsigned char bytes[8];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        // No entropy yet, or a kernel without getrandom: the names need only
        // differ, and a name that is taken is drawn again.
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        std::uint64_t bits = (static_cast<std::uint64_t>(now.tv_sec) << 30) ^
                             static_cast<std::uint64_t>(now.tv_nsec) ^
                             (static_cast<std::uint64_t>(getpid()) << 40);
        for (unsigned char& byte : bytes) {
            bits = bits * 6364136223846793005u + 1442695040888963407u;
            byte = static_cast<unsigned char>(bits >> 56);
        }
    }
    for (std::size_t i = 0; i < sizeof bytes; ++i) {
        part[i] = kAlphabet[bytes[i] % (sizeof kAlphabet - 1)];
    }
    part[8] = '\0';
}

// Gives the unnamed file open at `fd` a fresh temporary name in `folder` (a
// str), linking it through /proc/self/fd with AT_SYMLINK_FOLLOW: unlike
// AT_EMPTY_PATH, that needs no privilege. Returns the name; empty, with no
// exception, where the link is refused (no /proc, a file system that
// cannot, no free name after many draws).
Ref link_unnamed(int fd, PyObject* folder) {
    char source[32];
    std::snprintf(source, sizeof source, "/proc/self/fd/%d", fd);
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        char part[9];
        random_name_part(part);
        Ref name = Ref::steal(PyUnicode_FromFormat("%U/%s%s%s", folder, kTemporaryPrefix, part,
                                                   kTemporarySuffix));
        if (!name) return Ref();
        Ref raw_name = file_system_path(name.get());
        if (!raw_name) return Ref();
        // With the global lock held: taking it back after the link could
        // wait a switch interval for another thread, inside the window in
        // which a kill leaves the named file behind.
        if (linkat(AT_FDCWD, source, AT_FDCWD, PyBytes_AS_STRING(raw_name.get()),
                   AT_SYMLINK_FOLLOW) == 0) {
            return name;
        }
        if (errno != EEXIST && errno != EINTR) return Ref();
    }
    return Ref();
}

// The content is written and synced in an unnamed file of mode 0600 in
// `folder`, which vanishes with its descriptors if the process dies; it is
// named through the kept descriptor just before the rename, so a kill
// leaves a named file only between those two system calls. kRefused, with
// nothing changed and no exception, where the kernel or the file system has
// no unnamed files or cannot link them: the caller then writes the named way.
Outcome replace_through_unnamed_file(PyObject* module, PyObject* os, PyObject* config,
                                     PyObject* folder, PyObject* raw_folder, PyObject* target) {
    if (!PyUnicode_Check(folder) || !raw_folder) return Outcome::kRefused;
    const char* path = PyBytes_AS_STRING(raw_folder);
    int unnamed = without_gil([path] {
        int fd;
        do {
            fd = open(path, O_WRONLY | O_TMPFILE | O_CLOEXEC, 0600);
        } while (fd < 0 && errno == EINTR);
        return fd;
    });
    if (unnamed < 0) return Outcome::kRefused;
    OwnedDescriptor kept = keep_locked(unnamed);
    Ref fd = Ref::steal(kept ? PyLong_FromLong(unnamed) : nullptr);
    if (!fd) {
        ::close(unnamed);
        return kept ? Outcome::kFailed : Outcome::kRefused;
    }
    if (!close_descriptor(os, fd.get(), write_synced(module, os, config, fd.get()))) {
        return Outcome::kFailed;
    }
    Ref temporary = link_unnamed(kept.get(), folder);
    if (temporary) {
        return rename_over(os, temporary.get(), target) ? Outcome::kReplaced : Outcome::kFailed;
    }
    return PyErr_Occurred() ? Outcome::kFailed : Outcome::kRefused;
}
#else
Outcome replace_through_unnamed_file(PyObject*, PyObject*, PyObject*, PyObject*, PyObject*,
                                     PyObject*) {
    return Outcome::kRefused;
}
#endif

// The file gets its name at once, from mkstemp (0600, an unpredictable
// name); where there are no unnamed files.
bool replace_through_named_file(PyObject* module, PyObject* os, PyObject* config,
                                PyObject* folder, PyObject* target) {
    Ref tempfile = import_module("tempfile");
    if (!tempfile) return false;
    Ref mkstemp = get_attr(tempfile.get(), names.mkstemp);
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref kwargs = Ref::steal(PyDict_New());
    Ref prefix = text(kTemporaryPrefix);
    Ref suffix = text(kTemporarySuffix);
    if (!mkstemp || !no_args || !kwargs || !prefix || !suffix ||
        PyDict_SetItem(kwargs.get(), names.dir, folder) < 0 ||
        PyDict_SetItem(kwargs.get(), names.prefix, prefix.get()) < 0 ||
        PyDict_SetItem(kwargs.get(), names.suffix, suffix.get()) < 0) {
        return false;
    }
    Ref made = Ref::steal(PyObject_Call(mkstemp.get(), no_args.get(), kwargs.get()));
    if (!made) return false;
    if (!PyTuple_Check(made.get()) || PyTuple_GET_SIZE(made.get()) != 2) {
        PyErr_SetString(PyExc_TypeError, "tempfile.mkstemp() did not return (fd, path)");
        return false;
    }
    PyObject* fd = PyTuple_GET_ITEM(made.get(), 0);
    PyObject* temporary = PyTuple_GET_ITEM(made.get(), 1);
    int overflow = 0;
    long number = PyLong_Check(fd) ? PyLong_AsLongAndOverflow(fd, &overflow) : -1;
    OwnedDescriptor kept = number >= 0 && number <= INT_MAX && !overflow
                               ? keep_locked(static_cast<int>(number))
                               : OwnedDescriptor();
    if (close_descriptor(os, fd, write_synced(module, os, config, fd))) {
        return rename_over(os, temporary, target);
    }
    discard(os, temporary);
    return false;
}

}  // namespace

bool write_tokens_file(PyObject* module, PyObject* config) {
    Ref os = import_module("os");
    if (!os) return false;
    Ref tokens_file = lookup_global(module, names.TOKENS_FILE);
    if (!tokens_file) return false;
    Ref target;
    Ref folder;
    if (!write_destination(tokens_file.get(), &target, &folder)) return false;

    Ref raw_folder = file_system_path(folder.get());
    if (raw_folder) {
        const char* path = PyBytes_AS_STRING(raw_folder.get());
        without_gil([path] {
            remove_abandoned_temporaries(path);
            return 0;
        });
    }
    switch (replace_through_unnamed_file(module, os.get(), config, folder.get(), raw_folder.get(),
                                         target.get())) {
        case Outcome::kReplaced:
            return true;
        case Outcome::kFailed:
            return false;
        case Outcome::kRefused:
            break;
    }
    return replace_through_named_file(module, os.get(), config, folder.get(), target.get());
}

}  // namespace vandrel
