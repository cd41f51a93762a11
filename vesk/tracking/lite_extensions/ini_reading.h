// The one reader of the secret file and the tokens file, and the one place
// that words what is wrong with either. configparser's own exceptions quote
// the offending line, the raw value or the part after a '%', passwords and
// tokens included; the ones raised from here keep the parser's classes, the
// file's name and the line numbers, and hold no text of the file.
#ifndef VESK_INI_READING_H
#define VESK_INI_READING_H

#include "vandrel.h"

namespace vandrel {

// A file is read only when it is a regular file of at most this size; a
// FIFO, a device or a larger file reads as one that cannot be opened: a
// document with no sections.
constexpr Py_ssize_t kLargestIniFile = 1 << 20;

// configparser.ConfigParser(), the class taken from the module namespace.
Ref new_ini_parser(PyObject* module);

// One of the two files, parsed.
struct IniDocument {
    PyObject* module;     // the module, and the name of its path constant:
    PyObject* path_name;  // where a parser got from elsewhere was read from
    Ref parser;  // set by the caller before read_ini
    Ref source;  // the file's name as configparser gives it (os.fspath)
    Ref text;    // what was parsed; null when the file was not read
};

// Reads the file at the module-level path `path_name` into document.parser;
// false with an exception set (one of the parser's classes or
// UnicodeDecodeError, without the file's text) when it fails.
bool read_ini(PyObject* module, PyObject* path_name, IniDocument& document);

// document.parser[section][key]; an interpolation error is raised again
// without the value. A document without text (a parser the caller got
// from elsewhere) has its file read again, only to find the key's line.
Ref ini_value(const IniDocument& document, PyObject* section, PyObject* key);

// True when the pending exception is one that says the file cannot give
// the value (KeyError, configparser.Error, UnicodeDecodeError): what
// get_token takes for no cached token.
bool unusable_file_error();

}  // namespace vandrel

#endif  // VESK_INI_READING_H
