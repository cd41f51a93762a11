// The writer of the tokens file.
#ifndef VESK_TOKENS_FILE_H
#define VESK_TOKENS_FILE_H

#include "vandrel.h"

namespace vandrel {

// Replaces the file at TOKENS_FILE (the target of a link there) whole with
// config.write's text, in mode 0600; false with an exception set when it
// fails, the old file then left as it was (see tokens_file.cpp).
bool write_tokens_file(PyObject* module, PyObject* config);

}  // namespace vandrel

#endif  // VESK_TOKENS_FILE_H
