// Where a write of the tokens file lands.
//
// A symbolic link is followed only where it stands in a folder that nobody
// but this process's user can change: owned by the effective user, and not
// writable by group or others. In any other folder, whoever can write it
// could plant the link and aim the login at a file of their choosing (as
// root: any file of the system, a device); there the link itself is
// replaced, by the rename landing on its own name, so nothing is written
// outside that folder and the user's jobs keep logging in. The folders
// leading to the one that holds the name are resolved as realpath does:
// they are the user's home and the places its links name.
//
// Only a regular file is replaced, or a missing one created. A directory,
// FIFO, device or socket standing there is left as it was and the write is
// refused with an OSError naming the path and what stands there; renaming
// over a device node would replace the device with a regular file.
#include "write_destination.h"
#include "shared_helpers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace vandrel {
namespace {

// As many links as the kernel follows in one path before it says ELOOP.
constexpr int kMostLinks = 40;

Ref bytes(const char* data, std::size_t length) {
    return Ref::steal(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(length)));
}

// `folder` + "/" + `name`, without doubling the slash of the root.
Ref joined(PyObject* folder, const char* name, std::size_t length) {
    const char* head = PyBytes_AS_STRING(folder);
    const bool root = std::strcmp(head, "/") == 0;
    Ref separator = bytes("/", root ? 0 : 1);
    Ref tail = bytes(name, length);
    if (!separator || !tail) return Ref();
    Ref result = Ref::borrow(folder);
    PyObject* concatenated = result.release();
    PyBytes_Concat(&concatenated, separator.get());
    if (concatenated) PyBytes_Concat(&concatenated, tail.get());
    return Ref::steal(concatenated);
}

// What one step of the way found at the name `entry` in `folder`.
struct Step {
    bool follow = false;    // a link in a private folder
    mode_t mode = 0;        // lstat's, where something stands there
    bool present = false;
    ssize_t link_length = 0;
    int error = 0;          // of readlink, where it failed
    char link[PATH_MAX];
};

// Without the global lock (see without_gil): system calls only, on the C
// strings of bytes objects the caller keeps alive and on `step`, which is
// the caller's own.
void examine(const char* folder, const char* entry, Step* step) {
    struct stat info;
    // fstatat, not lstat and stat: glibc_compat.h keeps those to old glibc.
    step->present = fstatat(AT_FDCWD, entry, &info, AT_SYMLINK_NOFOLLOW) == 0;
    if (!step->present) return;
    step->mode = info.st_mode;
    if (!S_ISLNK(info.st_mode)) return;
    struct stat folder_info;
    step->follow = fstatat(AT_FDCWD, folder, &folder_info, 0) == 0 && S_ISDIR(folder_info.st_mode) &&
                   folder_info.st_uid == geteuid() &&
                   (folder_info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    if (!step->follow) return;
    step->link_length = readlink(entry, step->link, sizeof step->link);
    if (step->link_length < 0) {
        step->error = errno;
    } else if (step->link_length == static_cast<ssize_t>(sizeof step->link)) {
        step->error = ENAMETOOLONG;
    }
}

// The folder part of `entry` resolved by realpath(3); the part itself as it
// is where it cannot be resolved (missing, no permission): writing there
// then fails with the system's own error, as it would have.
Ref real_folder(PyObject* entry, std::size_t* name_start) {
    const char* path = PyBytes_AS_STRING(entry);
    const char* slash = std::strrchr(path, '/');
    *name_start = slash ? static_cast<std::size_t>(slash - path) + 1 : 0;
    Ref folder = slash == path ? bytes("/", 1)
                 : slash       ? bytes(path, static_cast<std::size_t>(slash - path))
                               : bytes(".", 1);
    if (!folder) return Ref();
    const char* raw = PyBytes_AS_STRING(folder.get());
    char* resolved = without_gil([raw] { return realpath(raw, nullptr); });
    if (!resolved) return folder;
    Ref real = bytes(resolved, std::strlen(resolved));
    std::free(resolved);
    return real;
}

const char* what_stands(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "something that is not a regular file";
}

// OSError(error, message, path), which the constructor turns into the
// subclass of `error` (IsADirectoryError for EISDIR, ...). The message
// says what stands there and, where links led there, names the tokens file.
void raise_refusal(int error, PyObject* message, PyObject* raw_path) {
    if (!message) return;
    Ref path = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(raw_path),
                                                           PyBytes_GET_SIZE(raw_path)));
    if (!path) return;
    Ref exception =
        Ref::steal(PyObject_CallFunction(PyExc_OSError, "iOO", error, message, path.get()));
    if (exception) raise_object(exception.get());
}

void raise_not_regular(mode_t mode, PyObject* raw_path, PyObject* tokens_file,
                       bool through_links) {
    const char* what = what_stands(mode);
    Ref message = Ref::steal(
        through_links
            ? PyUnicode_FromFormat("%s stands where %S leads, not a regular file; the tokens "
                                   "file was not written",
                                   what, tokens_file)
            : PyUnicode_FromFormat(
                  "%s stands there, not a regular file; the tokens file was not written",
                  what));
    raise_refusal(S_ISDIR(mode) ? EISDIR : EEXIST, message.get(), raw_path);
}

void raise_loop(PyObject* raw_path, PyObject* tokens_file) {
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "the symbolic links from %S go round in a loop; the tokens file was not written",
        tokens_file));
    raise_refusal(ELOOP, message.get(), raw_path);
}

}  // namespace

bool write_destination(PyObject* tokens_file, Ref* target, Ref* folder) {
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(tokens_file, &converted)) return false;
    Ref entry = Ref::steal(converted);
    Ref entry_folder;
    for (int hop = 0;; ++hop) {
        std::size_t name_start = 0;
        entry_folder = real_folder(entry.get(), &name_start);
        if (!entry_folder) return false;
        const char* name = PyBytes_AS_STRING(entry.get()) + name_start;
        entry = joined(entry_folder.get(), name, std::strlen(name));
        if (!entry) return false;
        Step step;
        const char* raw_folder = PyBytes_AS_STRING(entry_folder.get());
        const char* raw_entry = PyBytes_AS_STRING(entry.get());
        Step* seen = &step;
        without_gil([raw_folder, raw_entry, seen] {
            examine(raw_folder, raw_entry, seen);
            return 0;
        });
        if (step.error != 0) {
            errno = step.error;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, tokens_file);
            return false;
        }
        if (step.follow) {
            if (hop == kMostLinks) {
                raise_loop(entry.get(), tokens_file);
                return false;
            }
            const std::size_t length = static_cast<std::size_t>(step.link_length);
            entry = step.link[0] == '/' ? bytes(step.link, length)
                                        : joined(entry_folder.get(), step.link, length);
            if (!entry) return false;
            continue;
        }
        if (step.present && !S_ISREG(step.mode) && !S_ISLNK(step.mode)) {
            raise_not_regular(step.mode, entry.get(), tokens_file, hop > 0);
            return false;
        }
        break;
    }
    *target = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(entry.get()),
                                                          PyBytes_GET_SIZE(entry.get())));
    *folder = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(
        PyBytes_AS_STRING(entry_folder.get()), PyBytes_GET_SIZE(entry_folder.get())));
    return *target && *folder;
}

}  // namespace vandrel
