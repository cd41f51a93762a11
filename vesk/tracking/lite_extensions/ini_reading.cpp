// Reading the secret and tokens files, and their errors without their text.
//
// A file is read with read_bounded, decoded as open() in text mode decodes
// (io.TextIOWrapper: the default encoding, universal newlines) and handed
// to the parser's read_string under its own name, so the parser sees what
// its read() would have seen. An exception that would quote the file is
// replaced by one of the same class (so `except configparser.Error` and
// `except UnicodeDecodeError` still hold) built anew: the file's name, the
// line numbers, the kind of problem; every other text of the original, in
// its args and its attributes, is dropped; only the section and key names
// the module itself uses are kept. The original is not chained: it is
// neither the new one's __context__ nor its __cause__.
#include "ini_reading.h"
#include "bounded_read.h"
#include "shared_helpers.h"

#include <cstdio>
#include <cstring>
#include <string_view>

namespace vandrel {
namespace {

Ref real_configparser() { return import_module("configparser"); }

bool is_instance_of(PyObject* error, PyObject* module, const char* class_name) {
    Ref type = Ref::steal(PyObject_GetAttrString(module, class_name));
    if (!type) {
        PyErr_Clear();
        return false;
    }
    return PyErr_GivenExceptionMatches(error, type.get()) != 0;
}

// The section and key names the module reads may be shown; any other name
// may be a password typed on the wrong line.
bool shown_name(PyObject* text) {
    for (PyObject* name : {names.secret, names.email, names.password, names.TOKENS,
                           names.access_token, names.refresh_token}) {
        if (PyUnicode_Compare(text, name) == 0) return true;
    }
    return false;
}

bool same_text(PyObject* a, PyObject* b) {
    if (a == nullptr || b == nullptr) return false;
    const int equal = PyObject_RichCompareBool(a, b, Py_EQ);
    if (equal < 0) PyErr_Clear();
    return equal > 0;
}

struct Scrub {
    PyObject* source;            // the file's name: kept
    PyObject* original_message;  // replaced by `message` wherever it stands
    PyObject* message;
};

// `value` with every text dropped but the file's name and the names shown:
// numbers and None stay, tuples and lists are scrubbed item by item, other
// texts become "", anything else None.
Ref scrubbed(PyObject* value, const Scrub& scrub) {
    if (value == Py_None || PyLong_Check(value)) return Ref::borrow(value);
    if (same_text(value, scrub.original_message)) return Ref::borrow(scrub.message);
    if (same_text(value, scrub.source)) return Ref::borrow(scrub.source);
    if (PyUnicode_Check(value)) {
        return shown_name(value) ? Ref::borrow(value) : text("");
    }
    const bool is_tuple = PyTuple_Check(value);
    if (!is_tuple && !PyList_Check(value)) return Ref::borrow(Py_None);
    const Py_ssize_t size = is_tuple ? PyTuple_GET_SIZE(value) : PyList_GET_SIZE(value);
    Ref copy = Ref::steal(is_tuple ? PyTuple_New(size) : PyList_New(size));
    for (Py_ssize_t i = 0; copy && i < size; ++i) {
        Ref item = scrubbed(is_tuple ? PyTuple_GET_ITEM(value, i) : PyList_GET_ITEM(value, i),
                            scrub);
        if (!item) return Ref();
        if (is_tuple) {
            PyTuple_SET_ITEM(copy.get(), i, item.release());
        } else {
            PyList_SET_ITEM(copy.get(), i, item.release());
        }
    }
    return copy;
}

// The line numbers an error names; a few are enough to find the rest.
struct Lines {
    static constexpr int kMost = 8;
    long numbers[kMost] = {};
    int count = 0;
    void add(long number) {
        if (count < kMost) numbers[count++] = number;
    }
};

// "'<file>', line 3: " (or lines 3, 5; or no line) before `kind`.
Ref located(PyObject* source, const Lines& lines, PyObject* kind) {
    char where[Lines::kMost * 24 + 16] = "";
    std::size_t used = 0;
    for (int i = 0; i < lines.count; ++i) {
        const char* before = i > 0 ? ", " : lines.count == 1 ? ", line " : ", lines ";
        const int written = std::snprintf(where + used, sizeof where - used, "%s%ld", before,
                                          lines.numbers[i]);
        if (written < 0 || static_cast<std::size_t>(written) >= sizeof where - used) break;
        used += static_cast<std::size_t>(written);
    }
    Ref file = source != nullptr ? Ref::steal(PyObject_Repr(source)) : text("the file");
    if (!file) return Ref();
    return Ref::steal(PyUnicode_FromFormat("%U%s: %U (its text is not shown)", file.get(),
                                           where, kind));
}

// Raises an exception of the original's class with `message`, the
// original's args and attributes scrubbed. `original` is a configparser
// exception, a Python class whose instances keep their state in __dict__.
void raise_scrubbed(PyObject* original, PyObject* source, PyObject* message) {
    PyTypeObject* type = Py_TYPE(original);
    Ref original_message = Ref::steal(PyObject_GetAttr(original, names.message));
    if (!original_message) PyErr_Clear();
    const Scrub scrub{source, original_message.get(), message};
    Ref original_args = Ref::steal(PyObject_GetAttrString(original, "args"));
    if (!original_args) return;
    Ref args = scrubbed(original_args.get(), scrub);
    if (!args) return;
    if (!PyTuple_Check(args.get())) args = Ref::steal(PyTuple_Pack(1, message));
    if (!args) return;
    Ref error = Ref::steal(type->tp_new(type, args.get(), nullptr));
    if (!error || PyObject_SetAttr(error.get(), names.message, message) < 0) return;
    Ref state = Ref::steal(PyObject_GetAttrString(original, "__dict__"));
    if (!state) PyErr_Clear();
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (state && PyDict_Check(state.get()) &&
           PyDict_Next(state.get(), &position, &key, &value)) {
        // Dunder entries (__notes__ among them) are the handlers' own.
        if (!PyUnicode_Check(key) || PyUnicode_Tailmatch(key, names.dunder, 0, 2, -1) ||
            same_text(key, names.message)) {
            continue;
        }
        Ref kept = scrubbed(value, scrub);
        if (!kept || PyObject_SetAttr(error.get(), key, kept.get()) < 0) return;
    }
    PyException_SetCause(error.get(), nullptr);  // as `raise ... from None`
    PyErr_SetObject(reinterpret_cast<PyObject*>(type), error.get());
}

// The line numbers a parsing error names: its lineno, or its errors' ones.
Lines error_lines(PyObject* error) {
    Lines lines;
    Ref lineno = Ref::steal(PyObject_GetAttrString(error, "lineno"));
    if (lineno && PyLong_Check(lineno.get())) lines.add(PyLong_AsLong(lineno.get()));
    PyErr_Clear();  // no lineno: a ParsingError has its errors instead
    Ref errors = Ref::steal(PyObject_GetAttrString(error, "errors"));
    if (errors && PyList_Check(errors.get())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(errors.get()); ++i) {
            PyObject* entry = PyList_GET_ITEM(errors.get(), i);
            if (PyTuple_Check(entry) && PyTuple_GET_SIZE(entry) > 0 &&
                PyLong_Check(PyTuple_GET_ITEM(entry, 0))) {
                lines.add(PyLong_AsLong(PyTuple_GET_ITEM(entry, 0)));
            }
        }
    }
    PyErr_Clear();
    return lines;
}

// `attribute` of `error` when it is a name the module shows; null if not.
Ref shown_attribute(PyObject* error, const char* attribute) {
    Ref value = Ref::steal(PyObject_GetAttrString(error, attribute));
    if (!value) PyErr_Clear();
    return value && PyUnicode_Check(value.get()) && shown_name(value.get()) ? std::move(value)
                                                                           : Ref();
}

Ref parse_error_kind(PyObject* error, PyObject* configparser) {
    if (is_instance_of(error, configparser, "MissingSectionHeaderError")) {
        return text("text before the first section header");
    }
    if (is_instance_of(error, configparser, "ParsingError")) {
        return text("neither a section header, an entry, a continuation, a comment nor blank");
    }
    if (is_instance_of(error, configparser, "DuplicateSectionError")) {
        Ref section = shown_attribute(error, "section");
        return section ? Ref::steal(PyUnicode_FromFormat("the section %R given twice",
                                                         section.get()))
                       : text("a section given twice");
    }
    if (is_instance_of(error, configparser, "DuplicateOptionError")) {
        Ref option = shown_attribute(error, "option");
        return option ? Ref::steal(PyUnicode_FromFormat("the key %R given twice in its section",
                                                        option.get()))
                      : text("a key given twice in its section");
    }
    return Ref::steal(PyUnicode_FromFormat("cannot be parsed (%s)", Py_TYPE(error)->tp_name));
}

Ref lookup_error_kind(PyObject* error, PyObject* configparser, PyObject* section,
                      PyObject* key) {
    const char* what = "cannot be interpolated";
    if (is_instance_of(error, configparser, "InterpolationSyntaxError")) {
        what = "holds a '%' that is not part of '%%' or '%(name)s' (a % is stored as %%)";
    } else if (is_instance_of(error, configparser, "InterpolationMissingOptionError")) {
        what = "refers with '%(name)s' to a key that does not exist (a % is stored as %%)";
    } else if (is_instance_of(error, configparser, "InterpolationDepthError")) {
        what = "refers with '%(name)s' to other values too deeply";
    }
    return Ref::steal(
        PyUnicode_FromFormat("the value of %R in the section %R %s", key, section, what));
}

// The number of the line that the byte at `offset` of `raw` stands on;
// "\n", "\r\n" and a lone "\r" end a line, as universal newlines read them.
long line_of_offset(PyObject* raw, Py_ssize_t offset) {
    const char* bytes = PyBytes_AS_STRING(raw);
    const Py_ssize_t size = PyBytes_GET_SIZE(raw);
    long line = 1;
    for (Py_ssize_t i = 0; i < offset && i < size; ++i) {
        if (bytes[i] == '\n' || (bytes[i] == '\r' && (i + 1 >= size || bytes[i + 1] != '\n'))) {
            ++line;
        }
    }
    return line;
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\f' || c == '\v'; }

// The line of `text` that gives `key` (lower case) in `section`, 0 when
// none does. Only asked once the file has been parsed, so its lines are
// headers, entries, continuations, comments and blanks.
long key_line(PyObject* text, PyObject* section, PyObject* key) {
    Py_ssize_t size = 0;
    const char* all = PyUnicode_AsUTF8AndSize(text, &size);
    const char* wanted_section = PyUnicode_AsUTF8(section);
    const char* wanted_key = PyUnicode_AsUTF8(key);
    if (all == nullptr || wanted_section == nullptr || wanted_key == nullptr) {
        PyErr_Clear();
        return 0;
    }
    const std::string_view document(all, static_cast<std::size_t>(size));
    bool in_section = false;
    std::size_t entry_indent = std::string_view::npos;  // none yet in the section
    long number = 0;
    std::size_t start = 0;
    while (start <= document.size()) {
        std::size_t end = document.find('\n', start);
        if (end == std::string_view::npos) end = document.size();
        // Views made by hand: substr would bring in libstdc++ for its throw.
        std::string_view line(document.data() + start, end - start);
        start = end + 1;
        ++number;
        std::size_t indent = 0;
        while (indent < line.size() && blank(line[indent])) ++indent;
        std::string_view content(line.data() + indent, line.size() - indent);
        while (!content.empty() && (blank(content.back()) || content.back() == '\r')) {
            content.remove_suffix(1);
        }
        if (content.empty() || content[0] == '#' || content[0] == ';') continue;
        if (entry_indent != std::string_view::npos && indent > entry_indent) continue;
        const std::size_t closing = content.rfind(']');
        if (content[0] == '[' && closing != std::string_view::npos && closing > 1) {
            in_section = std::string_view(content.data() + 1, closing - 1) == wanted_section;
            entry_indent = std::string_view::npos;
            continue;
        }
        entry_indent = indent;
        const std::size_t delimiter = content.find_first_of("=:");
        std::string_view name(content.data(),
                              delimiter == std::string_view::npos ? content.size() : delimiter);
        while (!name.empty() && blank(name.back())) name.remove_suffix(1);
        if (in_section && name.size() == std::strlen(wanted_key)) {
            bool equal = true;
            for (std::size_t i = 0; i < name.size() && equal; ++i) {
                char c = name[i];
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
                equal = c == wanted_key[i];
            }
            if (equal) return number;
        }
    }
    return 0;
}

// A module as `import name` gives it: from sys.modules where it is there
// (io always is: the interpreter's own streams are made with it), which is
// a dict read rather than a pass through the import system.
Ref loaded_module(PyObject* name) {
    PyObject* modules = PyImport_GetModuleDict();
    Ref module = modules != nullptr && PyDict_CheckExact(modules)
                     ? Ref::borrow(PyDict_GetItemWithError(modules, name))
                     : Ref();
    if (module || PyErr_Occurred()) return module;
    return Ref::steal(PyImport_Import(name));
}

// The text of `raw` as open() in text mode reads it.
Ref decoded_text(PyObject* raw) {
    Ref io = loaded_module(names.io);
    if (!io) return Ref();
    Ref bytes_io = get_attr(io.get(), names.BytesIO);
    Ref text_io = bytes_io ? get_attr(io.get(), names.TextIOWrapper) : Ref();
    Ref buffer = text_io ? call(bytes_io.get(), {raw}) : Ref();
    Ref wrapper = buffer ? call(text_io.get(), {buffer.get()}) : Ref();
    Ref read = wrapper ? get_attr(wrapper.get(), names.read) : Ref();
    return read ? call(read.get(), {}) : Ref();
}

// The pending UnicodeDecodeError of decoding `raw`, replaced by one that
// holds none of the file's bytes and names the file and the line.
void replace_decode_error(PyObject* raw, PyObject* source) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return;
    Ref original = Ref::steal(PyErr_GetRaisedException());
    Py_ssize_t start = 0;
    Py_ssize_t end = 0;
    Ref encoding = Ref::steal(PyUnicodeDecodeError_GetEncoding(original.get()));
    if (!encoding || PyUnicodeDecodeError_GetStart(original.get(), &start) < 0 ||
        PyUnicodeDecodeError_GetEnd(original.get(), &end) < 0) {
        return;
    }
    Ref kind = Ref::steal(PyUnicode_FromFormat("bytes not valid in the encoding %R",
                                               encoding.get()));
    Lines line;
    line.add(line_of_offset(raw, start));
    Ref reason = kind ? located(source, line, kind.get()) : Ref();
    Ref empty = reason ? Ref::steal(PyBytes_FromStringAndSize(nullptr, 0)) : Ref();
    Ref start_object = empty ? Ref::steal(PyLong_FromSsize_t(start)) : Ref();
    Ref end_object = start_object ? Ref::steal(PyLong_FromSsize_t(end)) : Ref();
    if (!end_object) return;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(original.get()));
    Ref error = call(type, {encoding.get(), empty.get(), start_object.get(), end_object.get(),
                            reason.get()});
    if (!error) return;
    PyException_SetCause(error.get(), nullptr);  // as `raise ... from None`
    PyErr_SetObject(type, error.get());
}

// The pending configparser exception of a read (key_lines null) or of the
// lookup of `key` in `section` (key_lines: where the key stands), replaced.
void replace_parser_error(PyObject* source, PyObject* section, PyObject* key,
                          const Lines* key_lines) {
    Ref original = Ref::steal(PyErr_GetRaisedException());
    if (!original) return;
    Ref configparser = real_configparser();
    if (!configparser) return;  // that failure stands in for the original
    if (!is_instance_of(original.get(), configparser.get(), "Error")) {
        PyErr_SetRaisedException(original.release());
        return;
    }
    Ref kind = key_lines != nullptr
                   ? lookup_error_kind(original.get(), configparser.get(), section, key)
                   : parse_error_kind(original.get(), configparser.get());
    if (!kind) return;
    Ref message = located(source, key_lines != nullptr ? *key_lines : error_lines(original.get()),
                          kind.get());
    if (message) raise_scrubbed(original.get(), source, message.get());
}

}  // namespace

Ref new_ini_parser(PyObject* module) {
    Ref configparser = lookup_global(module, names.configparser);
    if (!configparser) return Ref();
    Ref parser_type = get_attr(configparser.get(), names.ConfigParser);
    if (!parser_type) return Ref();
    return call(parser_type.get(), {});
}

bool read_ini(PyObject* module, PyObject* path_name, IniDocument& document) {
    Ref path = lookup_global(module, path_name);
    if (!path) return false;
    Ref raw = read_bounded(path.get(), kLargestIniFile);
    if (!raw) return false;
    if (raw.get() == Py_None) return true;  // read as a document with no sections
    document.source = Ref::steal(PyOS_FSPath(path.get()));
    if (!document.source) return false;
    document.text = decoded_text(raw.get());
    if (!document.text) {
        replace_decode_error(raw.get(), document.source.get());
        return false;
    }
    Ref read_string = get_attr(document.parser.get(), names.read_string);
    if (read_string && call(read_string.get(), {document.text.get(), document.source.get()})) {
        return true;
    }
    replace_parser_error(document.source.get(), nullptr, nullptr, nullptr);
    return false;
}

Ref ini_value(const IniDocument& document, PyObject* section, PyObject* key) {
    Ref inner = Ref::steal(PyObject_GetItem(document.parser.get(), section));
    if (!inner) return Ref();  // KeyError(section): the module's own name only
    Ref value = Ref::steal(PyObject_GetItem(inner.get(), key));
    // KeyError(key) holds the module's own name; the parser's errors name
    // the value, and only they need the key's line.
    if (value || !PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_KeyError)) return value;
    Ref original = Ref::steal(PyErr_GetRaisedException());
    Ref source = document.source ? Ref::borrow(document.source.get()) : Ref();
    Ref text_read = document.text ? Ref::borrow(document.text.get()) : Ref();
    if (!source && document.module != nullptr && document.path_name != nullptr) {
        Ref path = lookup_global(document.module, document.path_name);
        source = path ? Ref::steal(PyOS_FSPath(path.get())) : Ref();
        Ref raw = source ? read_bounded(source.get(), kLargestIniFile) : Ref();
        if (raw && PyBytes_Check(raw.get())) text_read = decoded_text(raw.get());
        PyErr_Clear();
    }
    Lines lines;
    const long line = text_read ? key_line(text_read.get(), section, key) : 0;
    if (line > 0) lines.add(line);
    PyErr_SetRaisedException(original.release());
    replace_parser_error(source.get(), section, key, &lines);
    return Ref();
}

bool unusable_file_error() {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (!error) return false;
    bool unusable = PyErr_GivenExceptionMatches(error.get(), PyExc_KeyError) ||
                    PyErr_GivenExceptionMatches(error.get(), PyExc_UnicodeDecodeError);
    if (!unusable) {
        Ref configparser = real_configparser();
        if (!configparser) {
            PyErr_Clear();
        } else {
            unusable = is_instance_of(error.get(), configparser.get(), "Error");
        }
    }
    PyErr_SetRaisedException(error.release());
    return unusable;
}

}  // namespace vandrel
