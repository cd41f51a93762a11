// The bounded decoder of a login answer's body (see bounded_decoder.h).
#include "bounded_decoder.h"
#include "shared_helpers.h"

#include <utility>

namespace vandrel {
namespace {

// zlib's window bits: a gzip member, a zlib stream, a raw deflate stream.
constexpr int kGzipBits = 16 + 15;
constexpr int kZlibBits = 15;
constexpr int kRawDeflateBits = -15;

// The module `name` when it is imported already; else empty, without an
// exception unless the lookup itself failed.
Ref imported(PyObject* name) { return vesk::dict_get(PyImport_GetModuleDict(), name); }

// Raises <module>.<type>(argument), the error pending now (if any) as its
// context, as `raise Type(argument)` inside an except block does.
void raise_in_place(PyObject* module_name, PyObject* type_name, PyObject* argument) {
    PyObject* context = PyErr_GetRaisedException();
    Ref module = argument ? imported(module_name) : Ref();
    Ref type = module ? get_attr(module.get(), type_name) : Ref();
    Ref error = type ? call(type.get(), {argument}) : Ref();
    if (!error) {
        // No such type (a stand-in's requests): the error that came stays.
        if (!PyErr_Occurred()) {
            PyErr_SetRaisedException(context);
        } else {
            Py_XDECREF(context);
        }
        return;
    }
    if (context != nullptr) PyException_SetContext(error.get(), context);
    raise_object(error.get());
}

// What requests' iter_content turns urllib3's read errors into; any other
// error stays as it is.
void as_requests_error() {
    Ref exceptions = imported(names.urllib3_exceptions);
    if (!exceptions) return;
    static PyObject* const* const kPairs[][2] = {
        {&names.ProtocolError, &names.ChunkedEncodingError},
        {&names.ReadTimeoutError, &names.ConnectionError},
        {&names.SSLError, &names.SSLError},
    };
    for (const auto& pair : kPairs) {
        PyObject* error = PyErr_GetRaisedException();
        Ref type = Ref::steal(PyObject_GetAttr(exceptions.get(), *pair[0]));
        const int matches = type ? PyObject_IsInstance(error, type.get()) : -1;
        // A lookup that fails leaves the read's own error.
        PyErr_Clear();
        PyErr_SetRaisedException(error);
        if (matches < 0) return;
        if (matches) return raise_in_place(names.requests_exceptions, *pair[1], error);
    }
}

// The encodings of a Content-Encoding value, in the order listed: gzip and
// x-gzip, deflate; identity and empty entries are left out.
bool parse_encodings(PyObject* value, PyObject* login_error, int* kinds, int& count) {
    count = 0;
    Ref comma = text(",");
    Ref parts = comma ? Ref::steal(PyUnicode_Split(value, comma.get(), -1)) : Ref();
    if (!parts) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); ++i) {
        Ref stripped = Ref::steal(PyObject_CallMethodObjArgs(PyList_GET_ITEM(parts.get(), i),
                                                             names.strip, nullptr));
        Ref name = stripped ? Ref::steal(PyObject_CallMethodObjArgs(stripped.get(),
                                                                    names.lower, nullptr))
                            : Ref();
        if (!name || !PyUnicode_Check(name.get())) return false;
        int kind;
        if (PyUnicode_GET_LENGTH(name.get()) == 0 ||
            PyUnicode_CompareWithASCIIString(name.get(), "identity") == 0) {
            continue;
        } else if (PyUnicode_CompareWithASCIIString(name.get(), "gzip") == 0 ||
                   PyUnicode_CompareWithASCIIString(name.get(), "x-gzip") == 0) {
            kind = 0;
        } else if (PyUnicode_CompareWithASCIIString(name.get(), "deflate") == 0) {
            kind = 1;
        } else {
            raise_login_error(login_error, Ref::steal(PyUnicode_FromFormat(
                "the account server's answer is encoded as %.100S, which a login does not "
                "decode (gzip, deflate and identity only); nothing was stored",
                stripped.get())));
            return false;
        }
        if (count == BoundedDecoder::kMostEncodings) {
            raise_login_error(login_error, Ref::steal(PyUnicode_FromFormat(
                "the account server's answer lists more than %d content encodings (%.200S); "
                "nothing was stored", BoundedDecoder::kMostEncodings, value)));
            return false;
        }
        kinds[count++] = kind;
    }
    return true;
}

Ref new_decompressor(PyObject* zlib, int bits) {
    Ref decompressobj = get_attr(zlib, names.decompressobj);
    Ref wbits = Ref::steal(decompressobj ? PyLong_FromLong(bits) : nullptr);
    return wbits ? call(decompressobj.get(), {wbits.get()}) : Ref();
}

bool empty_bytes(PyObject* value) { return PyBytes_Check(value) && PyBytes_GET_SIZE(value) == 0; }

}  // namespace

bool BoundedDecoder::open(PyObject* query, PyObject* login_error) {
    Ref raw = get_attr(query, names.raw);
    if (!raw) return false;
    read_ = get_attr(raw.get(), names.read);
    if (!read_) return false;
    // urllib3's response (the one requests makes) has stream(); a plain
    // file-like raw has not, and requests reads it as it is, undecoded.
    const int has_stream = PyObject_HasAttr(raw.get(), names.stream);
    urllib3_ = has_stream == 1;
    if (!urllib3_) return true;
    Ref headers = get_attr(query, names.headers);
    Ref get = headers ? get_attr(headers.get(), names.get) : Ref();
    Ref value = get ? call(get.get(), {names.content_encoding_header}) : Ref();
    if (!value) return false;
    if (value.get() == Py_None) return true;
    if (!PyUnicode_Check(value.get())) {
        PyErr_Format(PyExc_TypeError, "Content-Encoding is %.200s, not str",
                     Py_TYPE(value.get())->tp_name);
        return false;
    }
    int kinds[kMostEncodings];
    int listed = 0;
    if (!parse_encodings(value.get(), login_error, kinds, listed)) return false;
    if (listed == 0) return true;
    zlib_ = import_module("zlib");
    if (!zlib_) return false;
    // The last encoding listed was applied last: it is undone first.
    for (int i = 0; i < listed; ++i) {
        Layer& layer = layers_[i];
        layer.kind = kinds[listed - 1 - i] == 0 ? Kind::gzip : Kind::deflate;
        layer.decompressor =
            new_decompressor(zlib_.get(), layer.kind == Kind::gzip ? kGzipBits : kZlibBits);
        if (!layer.decompressor) return false;
    }
    count_ = listed;
    return true;
}

Ref BoundedDecoder::next(Py_ssize_t most) {
    if (count_ == 0) return raw_piece(most);
    return layer_piece(count_ - 1, most);
}

Ref BoundedDecoder::raw_piece(Py_ssize_t most) {
    if (raw_ended_) return Ref::borrow(Py_None);
    Ref size = Ref::steal(PyLong_FromSsize_t(most));
    if (!size) return Ref();
    Ref piece;
    if (urllib3_) {
        Ref kwnames = Ref::steal(PyTuple_Pack(1, names.decode_content));
        if (!kwnames) return Ref();
        PyObject* const args[] = {size.get(), Py_False};
        piece = Ref::steal(vesk::fast_call(read_.get(), args, 1, kwnames.get()));
        if (!piece) {
            as_requests_error();
            return Ref();
        }
    } else {
        piece = call(read_.get(), {size.get()});
        if (!piece) return Ref();
    }
    if (!PyBytes_Check(piece.get())) {
        PyErr_Format(PyExc_TypeError, "raw.read() gave %.200s, not bytes",
                     Py_TYPE(piece.get())->tp_name);
        return Ref();
    }
    if (PyBytes_GET_SIZE(piece.get()) == 0) {
        raw_ended_ = true;
        return Ref::borrow(Py_None);
    }
    raw_bytes_ += PyBytes_GET_SIZE(piece.get());
    return piece;
}

// layer.decompressor.decompress(input, most), with what it left unread
// kept as the layer's input; a zlib error becomes requests' decoding error.
Ref BoundedDecoder::decompress(Layer& layer, PyObject* input, Py_ssize_t most) {
    Ref method = get_attr(layer.decompressor.get(), names.decompress);
    Ref size = Ref::steal(method ? PyLong_FromSsize_t(most) : nullptr);
    Ref out = size ? call(method.get(), {input, size.get()}) : Ref();
    if (!out) return Ref();
    layer.input = get_attr(layer.decompressor.get(), names.unconsumed_tail);
    if (!layer.input) return Ref();
    return out;
}

// After the end of a stream: a gzip answer may hold another member, here or
// in the pieces still to come (decoded as urllib3 does); anything after the
// end of a deflate stream is dropped.
bool BoundedDecoder::after_end(Layer& layer) {
    Ref eof = get_attr(layer.decompressor.get(), names.eof);
    if (!eof) return false;
    const int ended = PyObject_IsTrue(eof.get());
    if (ended <= 0) return ended == 0;
    if (layer.kind == Kind::deflate) {
        layer.ended = true;
        return true;
    }
    Ref unused = get_attr(layer.decompressor.get(), names.unused_data);
    if (!unused) return false;
    layer.decompressor = new_decompressor(zlib_.get(), kGzipBits);
    if (!layer.decompressor) return false;
    layer.input = std::move(unused);
    layer.later_member = true;
    return true;
}

Ref BoundedDecoder::layer_piece(int index, Py_ssize_t most) {
    Layer& layer = layers_[index];
    for (;;) {
        if (layer.ended) return Ref::borrow(Py_None);
        const bool has_input = layer.input && !empty_bytes(layer.input.get());
        if (!has_input && !layer.source_ended) {
            Ref source = index == 0 ? raw_piece(kReadSize) : layer_piece(index - 1, kReadSize);
            if (!source) return Ref();
            if (source.get() == Py_None) {
                layer.source_ended = true;
                layer.input = Ref();
            } else {
                layer.input = std::move(source);
            }
            continue;
        }
        Ref input = has_input ? Ref::borrow(layer.input.get())
                              : Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
        if (!input) return Ref();
        Ref out = decompress(layer, input.get(), most);
        if (!out) {
            Ref zlib_error = get_attr(zlib_.get(), names.error);
            if (!zlib_error || !PyErr_ExceptionMatches(zlib_error.get())) return Ref();
            if (layer.later_member) {
                // Trailing bytes that are no gzip member: urllib3 drops them.
                PyErr_Clear();
                layer.ended = true;
                continue;
            }
            if (layer.kind == Kind::deflate && layer.first) {
                // A deflate answer without the zlib wrapping: raw deflate.
                PyErr_Clear();
                layer.first = false;
                layer.decompressor = new_decompressor(zlib_.get(), kRawDeflateBits);
                if (!layer.decompressor) return Ref();
                layer.input = std::move(input);
                continue;
            }
            Ref message = Ref::steal(PyUnicode_FromFormat(
                "the account server's answer could not be decoded as %s",
                layer.kind == Kind::gzip ? "gzip" : "deflate"));
            if (message) raise_in_place(names.requests_exceptions, names.ContentDecodingError,
                                        message.get());
            return Ref();
        }
        if (PyBytes_GET_SIZE(out.get()) > 0) layer.first = false;
        if (!after_end(layer)) return Ref();
        if (PyBytes_GET_SIZE(out.get()) > 0) return out;
        if (layer.source_ended && !layer.ended &&
            (!layer.input || empty_bytes(layer.input.get()))) {
            // Nothing in, nothing out: this encoding has given all it holds.
            layer.ended = true;
        }
    }
}

}  // namespace vandrel
