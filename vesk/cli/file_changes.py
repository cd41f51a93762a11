"""Changes on disk to the secret and tokens files: their folder, the way
through symbolic links, the atomic writer and the cleanup of the copies
killed writers left, and removal."""

import os
import stat
import tempfile

from vesk.cli.reporting import EXIT_FAILURE, CommandError


def ensure_folder(folder):
    """Creates `folder` (mode 0700) when missing; True when it did."""
    try:
        os.mkdir(folder, 0o700)
    except FileExistsError:
        # An existing folder keeps its permissions: never loosen them.
        created = False
    except OSError as exc:
        raise CommandError(
            "cannot create {}: {}".format(folder, exc.strerror or exc), EXIT_FAILURE
        )
    else:
        # mkdir's mode is filtered through the umask; make it exactly 0700.
        os.chmod(folder, 0o700)
        created = True
    if not os.path.isdir(folder):
        raise CommandError("{} exists and is not a folder".format(folder), EXIT_FAILURE)
    return created


# Links. A link is followed only where it stands in a folder nobody else
# can change (owned by this user, not writable by group or others), the
# rule of the client's login: in any other folder whoever can write it
# could plant a link and aim a write or a removal at a file of their
# choosing, so there the link itself is what gets replaced or removed, and
# nothing outside the folder is touched. Where followed, a write replaces
# the data where the link leads and a removal removes it there; the links
# stay: they are the user's arrangement, and the next write goes through
# them again. Only a regular file is replaced or removed.

MOST_LINKS = 40  # as the kernel follows in one path


def folder_trouble(folder):
    """Why others could change what is in `folder`, None when they
    cannot."""
    try:
        info = os.stat(folder)
    except OSError:
        return None
    if info.st_uid != os.geteuid():
        return "{} belongs to another user (uid {})".format(folder, info.st_uid)
    mode = stat.S_IMODE(info.st_mode)
    if mode & (stat.S_IWGRP | stat.S_IWOTH):
        return "{} (mode {:04o}) can be written by others; run: chmod 700 {}".format(
            folder, mode, folder)
    return None


def _private_folder(folder):
    return os.path.isdir(folder) and folder_trouble(folder) is None


def _destination(path):
    """Where a write of `path` lands; None where its links go round."""
    entry = os.path.join(os.getcwd(), path)
    for _ in range(MOST_LINKS + 1):
        folder = os.path.realpath(os.path.dirname(entry))
        entry = os.path.join(folder, os.path.basename(entry))
        if not (os.path.islink(entry) and _private_folder(folder)):
            return entry
        entry = os.path.join(folder, os.readlink(entry))
    return None


def data_path(path):
    """Where the data of `path` is: the file at the end of the links that
    are followed (parent folders resolved as os.path.realpath does)."""
    try:
        target = _destination(path)
    except OSError as exc:
        raise CommandError("cannot follow {}: {}".format(path, exc.strerror or exc),
                           EXIT_FAILURE)
    if target is None:
        raise CommandError(
            "{} is a symbolic link that leads nowhere (a loop)".format(path), EXIT_FAILURE
        )
    return target


def what_stands(mode):
    for test, words in ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"),
                        (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
                        (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return words
    return "something that is not a regular file"


def check_replaceable(target):
    """Refuses, before anything changes, a target that is neither a
    regular file, a link that is not followed, nor missing."""
    try:
        mode = os.lstat(target).st_mode
    except OSError:
        return  # missing, or the write itself says what is wrong
    if not (stat.S_ISREG(mode) or stat.S_ISLNK(mode)):
        raise CommandError(
            "cannot write {}: {} stands there, not a regular file; nothing was "
            "written".format(target, what_stands(mode)),
            EXIT_FAILURE,
        )


def link_words(path):
    """How `path` stands: 'present' or 'missing', with where a link leads."""
    try:
        target = _destination(path)
    except OSError:
        target = None
    if target is None:
        return "missing: a link that leads nowhere (a loop)"
    if target == os.path.abspath(path) and not os.path.islink(target):
        return "present" if os.path.lexists(path) else "missing"
    if os.path.islink(target):
        return "present, a link that writes replace rather than follow: {}".format(
            folder_trouble(os.path.dirname(target)))
    if os.path.lexists(target):
        return "present, a link to {}".format(target)
    return "missing: a link to {}, which does not exist".format(target)


# Temporary files. A file is written whole under a temporary name in the
# folder of its data, synced, and renamed over it. On Linux the new file
# has no name while it is written and synced (O_TMPFILE) and is named
# through /proc/self/fd just before the rename, so a process killed
# meanwhile leaves nothing behind; elsewhere, or where the kernel or the
# file system refuses, mkstemp names it at once. The writer holds an
# exclusive flock on the file until the rename is done, as the client's
# login does: a file nobody holds the lock of was left by a killed writer.
# Such leftovers are removed by the next `vesk config` once they are ten
# minutes old (a younger one may be a writer's between mkstemp and its
# lock), and by `vesk logout` at once.

ABANDONED_AFTER_SECONDS = 10 * 60


def _temporary_name(folder, prefix):
    import random

    alphabet = "abcdefghijklmnopqrstuvwxyz0123456789_"
    draw = random.SystemRandom()
    return os.path.join(
        folder, "{}{}.tmp".format(prefix, "".join(draw.choice(alphabet) for _ in range(8)))
    )


def _lock(fd):
    import fcntl

    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        pass  # no flock on this file system: the age alone keeps the file


def _write_synced(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]
    os.fsync(fd)


def _unnamed_file(folder):
    """A descriptor of a new file without a name in `folder`, mode 0600;
    None where there are none."""
    flag = getattr(os, "O_TMPFILE", None)
    if flag is None or not os.path.isdir("/proc/self/fd"):
        return None
    try:
        return os.open(folder, flag | os.O_WRONLY | os.O_CLOEXEC, 0o600)
    except OSError:
        return None


def _name_unnamed(fd, folder, prefix):
    """Gives the unnamed file open at `fd` a temporary name; None where the
    link is refused."""
    for _ in range(100):
        name = _temporary_name(folder, prefix)
        try:
            os.link("/proc/self/fd/{}".format(fd), name)
        except FileExistsError:
            continue
        except OSError:
            return None
        return name
    return None


def _replace(temporary, target):
    try:
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def write_atomically(target, data, prefix=".secret."):
    check_replaceable(target)
    folder = os.path.dirname(target)
    fd = _unnamed_file(folder)
    if fd is not None:
        try:
            _lock(fd)
            _write_synced(fd, data)
            temporary = _name_unnamed(fd, folder, prefix)
            if temporary is not None:
                _replace(temporary, target)
        finally:
            os.close(fd)
    if fd is None or temporary is None:
        fd, temporary = tempfile.mkstemp(dir=folder, prefix=prefix, suffix=".tmp")
        try:
            _lock(fd)
            try:
                _write_synced(fd, data)
            except BaseException:
                os.unlink(temporary)
                raise
            _replace(temporary, target)
        finally:
            os.close(fd)
    # Make the rename itself durable; not every file system allows this.
    try:
        dir_fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(dir_fd)
    except OSError:
        pass
    finally:
        os.close(dir_fd)


def remove_leftovers(folder, prefix, older_than):
    """Removes the temporary files ("<prefix>*.tmp") that killed writers
    left in `folder`: regular files, older than `older_than` seconds, whose
    lock nobody holds; never through a link. Returns (how many were
    removed, [(path, why it could not be removed)])."""
    import fcntl
    import time

    removed, stuck = 0, []
    try:
        names = os.listdir(folder)
    except OSError:
        return removed, stuck
    now = time.time()
    for name in names:
        if not (name.startswith(prefix) and name.endswith(".tmp")):
            continue
        path = os.path.join(folder, name)
        try:
            seen = os.lstat(path)
            if not stat.S_ISREG(seen.st_mode) or seen.st_mtime > now - older_than:
                continue
            fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY
                         | os.O_CLOEXEC)
        except OSError:
            continue
        try:
            opened = os.fstat(fd)
            if (opened.st_dev, opened.st_ino) != (seen.st_dev, seen.st_ino):
                continue
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                continue  # a live writer's
            except OSError:
                pass
            current = os.lstat(path)
            if (current.st_dev, current.st_ino) == (opened.st_dev, opened.st_ino):
                os.unlink(path)
                removed += 1
        except FileNotFoundError:
            pass
        except OSError as exc:
            stuck.append((path, exc.strerror or str(exc)))
        finally:
            os.close(fd)
    return removed, stuck


def identity(path):
    """What tells one version of a file from the next, None when absent.
    The login replaces the tokens file by a rename: a new inode."""
    try:
        info = os.stat(path)
    except OSError:
        return None
    return info.st_ino, info.st_mtime_ns, info.st_size


def _remove_entry(target):
    """Removes the entry `target`; False when it was gone already."""
    try:
        os.remove(target)
    except FileNotFoundError:
        return False
    except OSError as exc:
        raise CommandError(
            "cannot remove {}: {}".format(target, exc.strerror or exc), EXIT_FAILURE
        )
    return True


def remove(path, what):
    """Removes the data of `path`, at the end of its links; a line that
    says what was removed, or None when there was nothing. Refuses, with
    the reason, what would leave the data in place."""
    if not os.path.lexists(path):
        return None
    target = data_path(path)
    try:
        info = os.lstat(target)
    except FileNotFoundError:
        return None  # a link to nothing: no data
    except OSError as exc:
        raise CommandError(
            "cannot remove {}: {}".format(target, exc.strerror or exc), EXIT_FAILURE
        )
    if stat.S_ISLNK(info.st_mode):
        # A link not followed (see Links): the link itself goes.
        if not _remove_entry(target):
            return None
        return "removed {}, a link not followed ({})".format(
            target, folder_trouble(os.path.dirname(target)))
    if stat.S_ISDIR(info.st_mode):
        raise CommandError(
            "cannot remove {}: it is a folder, not {}".format(target, what), EXIT_FAILURE
        )
    if not stat.S_ISREG(info.st_mode):
        raise CommandError(
            "cannot remove {}: it is {}, not a regular file".format(
                target, what_stands(info.st_mode)), EXIT_FAILURE
        )
    if info.st_nlink > 1:
        raise CommandError(
            "not removed {}: {} other name{} of the file (hard links) would keep {}; "
            "remove {} too".format(target, info.st_nlink - 1,
                                   "s" if info.st_nlink > 2 else "", what,
                                   "them" if info.st_nlink > 2 else "it"),
            EXIT_FAILURE,
        )
    if not _remove_entry(target):
        return None
    if target != os.path.abspath(path):
        return "removed {} ({}), where {} leads".format(target, what, path)
    return "removed {} ({})".format(target, what)
