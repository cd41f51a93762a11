// Where a write of the tokens file lands, and what it may replace there.
#ifndef VESK_WRITE_DESTINATION_H
#define VESK_WRITE_DESTINATION_H

#include "vandrel.h"

namespace vandrel {

// The path a write of `tokens_file` replaces and the folder that holds it,
// both str. Symbolic links are followed only where they stand in a folder
// nobody else can change (see write_destination.cpp). False with an
// exception set where what stands there is not a regular file (nothing
// standing there is fine) or the links go round in a loop.
bool write_destination(PyObject* tokens_file, Ref* target, Ref* folder);

}  // namespace vandrel

#endif  // VESK_WRITE_DESTINATION_H
