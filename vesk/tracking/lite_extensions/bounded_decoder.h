// The body of a real login answer read undecoded from its raw stream and
// decoded here, in steps no larger than the caller asks for.
#ifndef VESK_BOUNDED_DECODER_H
#define VESK_BOUNDED_DECODER_H

#include "vandrel.h"

namespace vandrel {

// The body is read in pieces of this size, and decoded into pieces no larger.
constexpr Py_ssize_t kReadSize = 16384;

// urllib3 decodes a whole read through every listed encoding at once, so a
// few kilobytes of nested gzip become gigabytes before anyone can count
// them. Here each encoding is a zlib decompressor asked for at most the
// bytes wanted, and each one is fed only when it has nothing left to give:
// what is held at any time is one piece per encoding.
class BoundedDecoder {
 public:
    // The most encodings an answer may list (urllib3 2 allows as many).
    static constexpr int kMostEncodings = 5;

    BoundedDecoder() = default;
    BoundedDecoder(const BoundedDecoder&) = delete;
    BoundedDecoder& operator=(const BoundedDecoder&) = delete;

    // Takes the answer's raw stream and Content-Encoding: gzip, x-gzip,
    // deflate (zlib-wrapped, else raw) and identity are decoded; any other
    // encoding fails with LoginError naming it. False with an exception set.
    bool open(PyObject* query, PyObject* login_error);

    // The next decoded bytes, 1 to `most` of them; None once the body has
    // ended; empty with an exception set on failure (urllib3's read errors
    // become requests' own, as iter_content raises them).
    Ref next(Py_ssize_t most);

    // How many bytes came over the wire so far.
    Py_ssize_t raw_bytes() const { return raw_bytes_; }

 private:
    enum class Kind { gzip, deflate };
    struct Layer {
        Kind kind = Kind::gzip;
        Ref decompressor;
        Ref input;             // bytes not yet given to the decompressor
        bool source_ended = false;
        bool first = true;     // nothing decoded yet: deflate may still be raw
        bool later_member = false;
        bool ended = false;
    };

    Ref raw_piece(Py_ssize_t most);
    Ref layer_piece(int index, Py_ssize_t most);
    Ref decompress(Layer& layer, PyObject* input, Py_ssize_t most);
    bool after_end(Layer& layer);

    Ref zlib_;
    Ref read_;           // raw.read
    bool urllib3_ = false;  // read(n, decode_content=False), else read(n)
    bool raw_ended_ = false;
    Py_ssize_t raw_bytes_ = 0;
    Layer layers_[kMostEncodings];
    int count_ = 0;  // layers_[0] takes the raw bytes, the last gives the body
};

}  // namespace vandrel

#endif  // VESK_BOUNDED_DECODER_H
