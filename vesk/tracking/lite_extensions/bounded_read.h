// The bytes of a small regular file, read without ever blocking on a FIFO
// or a device and without reading more than a cap.
#ifndef VESK_BOUNDED_READ_H
#define VESK_BOUNDED_READ_H

#include "vandrel.h"

namespace vandrel {

// The bytes of the file at `path` (str, bytes or os.PathLike) when it is a
// regular file of at most `cap` bytes; None when it cannot be opened or
// read, is no regular file (a FIFO, a device, a directory) or is larger.
// Null with an exception only for a path the kernel cannot take (TypeError,
// ValueError, as open() raises them) or for want of memory.
Ref read_bounded(PyObject* path, Py_ssize_t cap);

}  // namespace vandrel

#endif  // VESK_BOUNDED_READ_H
