// The bounded read of the secret and tokens files. O_NONBLOCK keeps the
// open of a FIFO from waiting for a writer; fstat then turns away anything
// but a regular file before a byte is read, and the read stops one byte
// past the cap, so a link to /dev/zero or a huge sparse file costs one
// system call or two, never the memory.
#include "bounded_read.h"
#include "shared_helpers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <memory>

namespace vandrel {
namespace {

// A buffer of malloc's, freed with the value that holds it.
struct FreeBuffer {
    void operator()(char* buffer) const noexcept { std::free(buffer); }
};

struct FileBytes {
    bool usable = false;
    bool out_of_memory = false;
    std::unique_ptr<char, FreeBuffer> bytes;
    std::size_t size = 0;
};

// Without the global lock (see without_gil): system calls and a buffer of
// this thread's own, no Python object.
FileBytes read_capped(const char* path, std::size_t cap) noexcept {
    FileBytes read_file;
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return read_file;
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0 ||
        static_cast<unsigned long long>(status.st_size) > cap) {
        ::close(fd);
        return read_file;
    }
    // One byte more than the size seen, to notice a file that grew since.
    std::size_t room = static_cast<std::size_t>(status.st_size) + 1;
    read_file.bytes.reset(static_cast<char*>(std::malloc(room)));
    read_file.out_of_memory = !read_file.bytes;
    bool failed = read_file.out_of_memory;
    while (!failed && read_file.size <= cap) {
        if (read_file.size == room) {
            room = room * 2 > cap + 1 ? cap + 1 : room * 2;
            char* larger = static_cast<char*>(std::realloc(read_file.bytes.get(), room));
            if (larger == nullptr) {
                read_file.out_of_memory = failed = true;
                break;
            }
            (void)read_file.bytes.release();
            read_file.bytes.reset(larger);
        }
        const ssize_t got = ::read(fd, read_file.bytes.get() + read_file.size,
                                   room - read_file.size);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) failed = true;
        if (got <= 0) break;
        read_file.size += static_cast<std::size_t>(got);
    }
    ::close(fd);
    read_file.usable = !failed && read_file.size <= cap;
    return read_file;
}

}  // namespace

Ref read_bounded(PyObject* path, Py_ssize_t cap) {
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(path, &converted)) return Ref();
    Ref path_bytes = Ref::steal(converted);
    // The bytes object stays alive and unchanged while the lock is released.
    const char* kernel_path = PyBytes_AS_STRING(path_bytes.get());
    FileBytes read_file = without_gil(
        [kernel_path, cap] { return read_capped(kernel_path, static_cast<std::size_t>(cap)); });
    if (read_file.out_of_memory) {
        PyErr_NoMemory();
        return Ref();
    }
    if (!read_file.usable) return Ref::borrow(Py_None);
    return Ref::steal(PyBytes_FromStringAndSize(read_file.bytes.get(),
                                                static_cast<Py_ssize_t>(read_file.size)));
}

}  // namespace vandrel
