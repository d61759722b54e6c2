// The PNG decoder: signature, chunks, header validation; the image data itself
// (inflation, unfiltering, the split of colour and alpha) is png/image_data.cpp.
#include "core/host.hpp"
#include "core/messages.hpp"
#include "core/ref.hpp"
#include "png/chunk.hpp"
#include "png/image_data.hpp"
#include "png/png.hpp"
#include "png/row_builder.hpp"
#include "png/streamed_rows.hpp"
#include "core/stream.hpp"

#include <algorithm>
#include <optional>
#include <cstdint>
#include <cstring>
#include <memory>

namespace tavrune::png {

namespace {

constexpr std::int64_t kMaxSize = INT32_MAX;  // dimensions and sizes are signed 32-bit

// The IHDR fields; -1 marks a field that no IHDR chunk has set.
struct Header {
    std::int32_t width = -1;
    std::int32_t height = -1;
    std::int32_t bit_depth = -1;
    std::int32_t color_type = -1;
    std::int32_t compression = -1;
    std::int32_t filter_method = -1;
    std::int32_t interlace = -1;

    bool complete() const {
        for (std::int32_t field : {width, height, bit_depth, color_type, compression, filter_method, interlace})
            if (field == -1) return false;
        return true;
    }
};

// Sizes derived from a validated header, each proven to fit in 32 signed bits.
struct Sizes {
    unsigned bytes_per_pixel;
    std::int64_t row_bytes;    // one unfiltered scanline
    std::int64_t expected;     // the inflated image data: a filter byte and row_bytes per scanline
    std::int64_t rgb_bytes;    // the pixel buffer
};

int equals(PyObject* value, PyObject* constant) { return PyObject_RichCompareBool(value, constant, Py_EQ); }

bool fail(PyObject* type, const char* text) {
    PyErr_SetString(type, text);
    return false;
}

// Overwrites header with struct.unpack(">IIBBBBB", data) through the host's
// struct, so a payload of other than 13 bytes raises the host's error. A width
// or height of 2^31 or more has no signed 32-bit form: OverflowError.
bool unpack_ihdr(PyObject* data, Header& header) {
    Ref fields = Ref::steal(PyObject_CallFunctionObjArgs(host::objects.struct_unpack, host::constants.fmt_ihdr,
                                                         data, nullptr));
    if (!host::expect_tuple(fields.get(), 7, "struct.unpack")) return false;
    std::int32_t values[7];
    for (Py_ssize_t i = 0; i < 7; ++i) {
        const unsigned long value = PyLong_AsUnsignedLong(PyTuple_GET_ITEM(fields.get(), i));
        if (PyErr_Occurred()) return false;
        if (value > static_cast<unsigned long>(kMaxSize)) return fail(PyExc_OverflowError, msg::kIntTooLarge);
        values[i] = static_cast<std::int32_t>(value);
    }
    header = {values[0], values[1], values[2], values[3], values[4], values[5], values[6]};
    return true;
}

// The record (chunk type, data or None, length) appended to records.
bool append_record(PyObject* records, PyObject* type, PyObject* data, std::uint32_t data_length) {
    Ref length = Ref::steal(PyLong_FromUnsignedLong(data_length));
    if (!length) return false;
    Ref record = Ref::steal(PyTuple_Pack(3, type, data, length.get()));
    return record && PyList_Append(records, record.get()) == 0;
}

// The layout of header when it is complete and valid, without raising: what
// validate and derive_sizes accept.
bool usable(const Header& header, ImageLayout& layout) {
    if (!header.complete() || header.bit_depth != 8 || (header.color_type != 2 && header.color_type != 6) ||
        header.compression != 0 || header.filter_method != 0 || header.interlace != 0)
        return false;
    const std::int64_t bytes_per_pixel = header.color_type == 2 ? 3 : 4;
    std::int64_t row_bytes, expected, rgb_bytes;
    bool overflow = __builtin_mul_overflow(std::int64_t{header.width}, bytes_per_pixel, &row_bytes);
    overflow |= __builtin_mul_overflow(row_bytes + 1, std::int64_t{header.height}, &expected);
    overflow |= __builtin_mul_overflow(std::int64_t{header.width} * header.height, std::int64_t{3}, &rgb_bytes);
    if (overflow || row_bytes > kMaxSize || expected > kMaxSize || rgb_bytes > kMaxSize) return false;
    layout = {static_cast<std::size_t>(header.width), static_cast<std::size_t>(header.height),
              static_cast<unsigned>(bytes_per_pixel), static_cast<std::size_t>(row_bytes), expected};
    return true;
}

bool same(const Header& a, const Header& b) {
    return a.width == b.width && a.height == b.height && a.bit_depth == b.bit_depth &&
           a.color_type == b.color_type && a.compression == b.compression &&
           a.filter_method == b.filter_method && a.interlace == b.interlace;
}

// Where an IDAT payload lies in the file, and its CRC.
struct PayloadPlace {
    std::uint64_t offset;
    std::uint32_t size;
    std::uint32_t crc;
};

// Image data inflated as its chunks are read, for a file that open opened
// itself: each CRC-checked IDAT payload is fed to the streamed path as soon as
// its chunk is read and dropped, so the compressed data is never held whole.
// Nothing is decided before the chunk loop has read and checked every chunk
// to IEND: every error of the loop comes first, as it does when the payloads
// are kept. The streamed path starts once the header so far is valid and the
// data so far could inflate to the image at all (deflate's bound, as
// streamable() has it); until then the payloads are kept. When it gives up,
// or the header it started from is not the final one, the exact path gets
// every payload again, read from the file at the places recorded.
class EarlyImageData {
public:
    explicit EarlyImageData(Planes& planes) : planes_(planes) {}
    EarlyImageData(const EarlyImageData&) = delete;
    EarlyImageData& operator=(const EarlyImageData&) = delete;

    // A checked IDAT payload whose data starts at offset; kept in payloads
    // unless the streamed path takes it. False with an exception set.
    bool take(PyObject* payload, const PayloadPlace& place, const Header& header, PyObject* payloads) {
        if (!places_.push(place)) return false;
        compressed_ += place.size;
        if (state_ == State::kWaiting && !PyBytes_CheckExact(payload)) state_ = State::kStopped;
        if (state_ == State::kWaiting) {
            if (PyList_Append(payloads, payload) < 0) return false;
            return try_start(header, payloads);
        }
        if (state_ == State::kStreaming) return feed(payload);
        return PyList_Append(payloads, payload) == 0;
    }

    // After the chunk loop, with header validated: true with done set when
    // the planes hold the image; else the exact path is to run over payloads
    // (refilled from stream when some were dropped). False with an exception set.
    bool conclude(const Header& header, PyObject* stream, PyObject* payloads, bool& done) {
        done = false;
        if (state_ == State::kStreaming && same(header, started_from_)) {
            const Streamed result = streamed_->finish();
            if (result == Streamed::kDone) {
                if (!rows_->allocate()) return false;
                rows_->finish();
                done = true;
                return true;
            }
            if (result == Streamed::kFailed) PyErr_Clear();  // the exact path meets it again, or not
        }
        streamed_.reset();
        if (rows_) rows_->release();
        rows_.reset();
        return !dropped_ || reread(stream, payloads);
    }

private:
    enum class State { kWaiting, kStreaming, kStopped };

    class Places {
    public:
        bool push(const PayloadPlace& place) {
            if (count_ == capacity_) {
                const std::size_t capacity = capacity_ ? capacity_ * 2 : 16;
                auto* items = static_cast<PayloadPlace*>(PyMem_Realloc(items_, capacity * sizeof(PayloadPlace)));
                if (!items) {
                    PyErr_NoMemory();
                    return false;
                }
                items_ = items;
                capacity_ = capacity;
            }
            items_[count_++] = place;
            return true;
        }
        ~Places() { PyMem_Free(items_); }
        const PayloadPlace* begin() const { return items_; }
        const PayloadPlace* end() const { return items_ + count_; }

    private:
        PayloadPlace* items_ = nullptr;
        std::size_t count_ = 0;
        std::size_t capacity_ = 0;
    };

    bool try_start(const Header& header, PyObject* payloads) {
        constexpr std::int64_t kMaxExpansion = 1100;  // as streamable() in png/image_data.cpp
        constexpr std::int64_t kSlack = 1024;
        if (!usable(header, layout_) || layout_.expected > compressed_ * kMaxExpansion + kSlack) return true;
        started_from_ = header;
        rows_.emplace(layout_, planes_);
        streamed_.emplace(layout_, *rows_);
        state_ = State::kStreaming;
        if (streamed_->start() == Streamed::kFailed) return stop_streaming(true);
        // The payloads kept so far, fed in order and dropped.
        const Py_ssize_t count = PyList_GET_SIZE(payloads);
        for (Py_ssize_t i = 0; i < count && state_ == State::kStreaming; ++i)
            if (!feed(PyList_GET_ITEM(payloads, i))) return false;
        if (state_ != State::kStreaming) return true;
        dropped_ = true;
        return PyList_SetSlice(payloads, 0, count, nullptr) == 0;
    }

    // Feeds one payload (exactly bytes, held by the caller) and drops it.
    bool feed(PyObject* payload) {
        if (!PyBytes_CheckExact(payload)) return stop_streaming(false);
        dropped_ = true;
        const Span span{reinterpret_cast<const Byte*>(PyBytes_AS_STRING(payload)),
                        static_cast<std::size_t>(PyBytes_GET_SIZE(payload))};
        switch (streamed_->feed(span)) {
            case Streamed::kDone: return true;
            case Streamed::kFailed: return stop_streaming(true);
            case Streamed::kGaveUp: return stop_streaming(false);
        }
        return true;
    }

    // The streamed path ends; payloads from here on are kept. A MemoryError
    // is dropped: the exact path, after the loop, meets it again or not.
    bool stop_streaming(bool failed) {
        if (failed) PyErr_Clear();
        state_ = State::kStopped;
        streamed_.reset();
        rows_->release();
        rows_.reset();
        return true;
    }

    // Every payload read again from the file, in order, into payloads: the
    // bytes the chunk loop checked, checked again against their CRC.
    bool reread(PyObject* stream, PyObject* payloads) {
        if (PyList_SetSlice(payloads, 0, PyList_GET_SIZE(payloads), nullptr) < 0) return false;
        for (const PayloadPlace& place : places_) {
            Ref offset = Ref::steal(PyLong_FromUnsignedLongLong(place.offset));
            if (!offset) return false;
            Ref seeked = Ref::steal(PyObject_CallMethodObjArgs(stream, host::constants.str_seek, offset.get(), nullptr));
            if (!seeked) return false;
            Ref data = stream::read(stream, place.size);
            if (!data) return false;
            if (!PyBytes_CheckExact(data.get()) || PyBytes_GET_SIZE(data.get()) != place.size ||
                chunk_crc32("IDAT", 4, PyBytes_AS_STRING(data.get()), place.size) != place.crc)
                return fail(PyExc_ValueError, msg::kCorruptChunk);  // the file changed since it was read
            if (PyList_Append(payloads, data.get()) < 0) return false;
        }
        return true;
    }

    Planes& planes_;
    ImageLayout layout_{};
    Header started_from_;
    std::optional<RowBuilder> rows_;
    std::optional<StreamedRows> streamed_;
    Places places_;
    std::int64_t compressed_ = 0;
    State state_ = State::kWaiting;
    bool dropped_ = false;
};

// Reads chunks up to IEND or the end of the stream: every chunk gets a record,
// IDAT payloads are collected in order (or handed to early as they come),
// each IHDR overwrites the header.
bool read_chunks(PyObject* stream, Header& header, PyObject* records, PyObject* idat_payloads,
                 EarlyImageData* early = nullptr) {
    std::uint64_t position = 8;  // after the signature
    for (;;) {
        Ref type, data;
        std::uint32_t data_length;
        std::uint32_t crc = 0;
        const int found = read_chunk(stream, type, data, data_length, &crc);
        if (found <= 0) return found == 0;
        const std::uint64_t data_offset = position + 8;
        position += std::uint64_t{12} + data_length;
        int is = equals(type.get(), host::constants.ihdr);
        if (is < 0 || (is && !unpack_ihdr(data.get(), header))) return false;
        is = equals(type.get(), host::constants.idat);
        if (is < 0) return false;
        if (is) {
            if (!(early != nullptr ? early->take(data.get(), {data_offset, data_length, crc}, header, idat_payloads)
                                   : PyList_Append(idat_payloads, data.get()) == 0) ||
                !append_record(records, type.get(), Py_None, data_length))
                return false;
        } else if (!append_record(records, type.get(), data.get(), data_length)) {
            return false;
        }
        is = equals(type.get(), host::constants.iend);
        if (is != 0) return is > 0;
    }
}

// The file's bytes walked in place as io.BytesIO(file).read would walk them:
// the same pieces, the same errors at the same points, the same CRC test. file
// is exactly bytes, held by the caller, so nothing under the walk changes.
class MemoryChunks {
public:
    // The walk starts where a read of 8 bytes left the stream: after the
    // signature, or at the end of a shorter file.
    explicit MemoryChunks(PyObject* file)
        : file_(file), pos_(std::min<std::size_t>(8, static_cast<std::size_t>(PyBytes_GET_SIZE(file)))) {}

    // As read_chunk, from the position after the signature on; an IDAT chunk's
    // data is not copied: data stays empty and span says where it lies.
    int next(Ref& type, Ref& data, std::uint32_t& data_length, bool& idat, PayloadSpan& span) {
        const auto* base = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(file_));
        const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(file_));
        if (pos_ == size) return 0;
        if (size - pos_ < 4) return eof(size, msg::kEofLength);
        const unsigned char* field = base + pos_;
        data_length = std::uint32_t{field[0]} << 24 | std::uint32_t{field[1]} << 16 | std::uint32_t{field[2]} << 8 |
                      field[3];
        pos_ += 4;
        const std::size_t type_at = pos_;
        const std::size_t type_size = std::min<std::size_t>(4, size - pos_);
        type = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(base + pos_),
                                                    static_cast<Py_ssize_t>(type_size)));
        if (!type) return -1;
        pos_ += type_size;
        if (type_size < 4) return eof(size, msg::kEofType);
        if (size - pos_ < data_length) return eof(size, msg::kEofData);
        const std::size_t data_at = pos_;
        idat = std::memcmp(base + type_at, "IDAT", 4) == 0;
        if (idat) {
            span = {data_at, data_length};
        } else {
            data = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(base + data_at),
                                                        static_cast<Py_ssize_t>(data_length)));
            if (!data) return -1;
        }
        pos_ += data_length;
        if (size - pos_ < 4) return eof(size, msg::kEofCrc);
        field = base + pos_;
        const std::uint32_t actual_crc = std::uint32_t{field[0]} << 24 | std::uint32_t{field[1]} << 16 |
                                         std::uint32_t{field[2]} << 8 | field[3];
        pos_ += 4;
        const std::uint32_t expected_crc = chunk_crc32(reinterpret_cast<const char*>(base + type_at), 4,
                                                       reinterpret_cast<const char*>(base + data_at), data_length);
        if (actual_crc == expected_crc) return 1;
        PyErr_SetString(PyExc_ValueError, msg::kCorruptChunk);
        return -1;
    }

private:
    int eof(std::size_t size, const char* text) {
        pos_ = size;
        PyErr_SetString(PyExc_ValueError, text);
        return -1;
    }

    PyObject* file_;
    std::size_t pos_;
};

// The spans of the IDAT payloads in file order, in memory from PyMem_Malloc.
class PayloadSpans {
public:
    bool push(PayloadSpan span) {
        if (count_ == capacity_) {
            const std::size_t capacity = capacity_ ? capacity_ * 2 : 16;
            auto* items = static_cast<PayloadSpan*>(PyMem_Realloc(items_.get(), capacity * sizeof(PayloadSpan)));
            if (!items) {
                PyErr_NoMemory();
                return false;
            }
            (void)items_.release();
            items_.reset(items);
            capacity_ = capacity;
        }
        items_.get()[count_++] = span;
        return true;
    }
    const PayloadSpan* data() const { return items_.get(); }
    std::size_t size() const { return count_; }

private:
    struct Free {
        void operator()(PayloadSpan* p) const { PyMem_Free(p); }
    };
    std::unique_ptr<PayloadSpan, Free> items_;
    std::size_t count_ = 0;
    std::size_t capacity_ = 0;
};

// read_chunks over the file's bytes: the same records, the same host calls on
// the same objects (IHDR unpacked by the host's struct, chunk types compared
// by the host), the IDAT payloads as spans.
bool read_chunks_in(PyObject* file, Header& header, PyObject* records, PayloadSpans& idat_spans) {
    MemoryChunks chunks(file);
    for (;;) {
        Ref type, data;
        std::uint32_t data_length;
        bool idat = false;
        PayloadSpan span{};
        const int found = chunks.next(type, data, data_length, idat, span);
        if (found <= 0) return found == 0;
        int is = equals(type.get(), host::constants.ihdr);
        if (is < 0 || (is && !unpack_ihdr(data.get(), header))) return false;
        if (idat) {
            if (!idat_spans.push(span) || !append_record(records, type.get(), Py_None, data_length)) return false;
        } else if (!append_record(records, type.get(), data.get(), data_length)) {
            return false;
        }
        is = equals(type.get(), host::constants.iend);
        if (is != 0) return is > 0;
    }
}

bool validate(const Header& header) {
    if (!header.complete()) return fail(PyExc_ValueError, msg::kPngIncomplete);
    if (header.bit_depth != 8) return fail(PyExc_ValueError, msg::kPngBitDepth);
    if (header.color_type != 2 && header.color_type != 6) return fail(PyExc_ValueError, msg::kPngColorType);
    if (header.compression != 0 || header.filter_method != 0 || header.interlace != 0)
        return fail(PyExc_ValueError, msg::kPngConfig);
    return true;
}

// The buffer sizes of a validated header. An image whose sizes leave the signed
// 32-bit range is refused as malformed, before anything is inflated or allocated.
bool derive_sizes(const Header& header, Sizes& sizes) {
    sizes.bytes_per_pixel = header.color_type == 2 ? 3 : 4;
    const std::int64_t width = header.width;
    const std::int64_t height = header.height;
    bool overflow = __builtin_mul_overflow(width, std::int64_t{sizes.bytes_per_pixel}, &sizes.row_bytes);
    overflow |= __builtin_mul_overflow(sizes.row_bytes + 1, height, &sizes.expected);
    overflow |= __builtin_mul_overflow(width * height, std::int64_t{3}, &sizes.rgb_bytes);
    if (overflow || sizes.row_bytes > kMaxSize || sizes.expected > kMaxSize || sizes.rgb_bytes > kMaxSize)
        return fail(PyExc_ValueError, msg::kPngMalformed);
    return true;
}

}  // namespace

namespace {

// The signature read (at most 8 bytes) against the module's PNG_SIGNATURE now.
bool check_signature(PyObject* signature) {
    Ref png_signature = Ref::steal(host::module_global(host::constants.name_png_signature));
    if (!png_signature) return false;
    const int differs = PyObject_RichCompareBool(signature, png_signature.get(), Py_NE);
    if (differs < 0) return false;
    if (differs) return fail(PyExc_ValueError, msg::kPngSignature);
    return true;
}

// The layout of a header once the chunks are read: validated, sizes derived.
bool layout_of(const Header& header, ImageLayout& layout, Sizes& sizes) {
    if (!validate(header) || !derive_sizes(header, sizes)) return false;
    layout = {
        .width = static_cast<std::size_t>(header.width),
        .height = static_cast<std::size_t>(header.height),
        .bytes_per_pixel = sizes.bytes_per_pixel,
        .row_bytes = static_cast<std::size_t>(sizes.row_bytes),
        .expected = sizes.expected,
    };
    return true;
}

PyObject* result(const Header& header, const Sizes& sizes, const Planes& planes, PyObject* records) {
    return Py_BuildValue("(iiOiOOOO)", header.width, header.height, planes.rgb.get(), int(sizes.bytes_per_pixel),
                         planes.alpha.get(), records, Py_None, planes.filters.get());
}

// load_png for a file open opened itself, the image data inflated as it is
// read (EarlyImageData).
PyObject* load_png_early(PyObject* stream) {
    Header header;
    Ref records = Ref::steal(PyList_New(0));
    Ref idat_payloads = Ref::steal(PyList_New(0));
    if (!records || !idat_payloads) return nullptr;
    PyObject_GC_UnTrack(idat_payloads.get());  // as in load_png
    Planes planes;
    EarlyImageData early(planes);
    if (!read_chunks(stream, header, records.get(), idat_payloads.get(), &early)) return nullptr;
    Sizes sizes;
    ImageLayout layout;
    if (!layout_of(header, layout, sizes)) return nullptr;
    bool done = false;
    if (!early.conclude(header, stream, idat_payloads.get(), done)) return nullptr;
    if (!done && !decode_image_data(idat_payloads.get(), layout, planes)) return nullptr;
    idat_payloads.reset();
    return result(header, sizes, planes, records.get());
}

}  // namespace

PyObject* load_png(PyObject* stream, bool own) {
    Ref eight = Ref::steal(PyLong_FromLong(8));
    if (!eight) return nullptr;
    Ref signature = Ref::steal(PyObject_CallMethodObjArgs(stream, host::constants.str_read, eight.get(), nullptr));
    if (!signature || !check_signature(signature.get())) return nullptr;
    stream::Kind kind = stream::Kind::kOther;
    if (own && !stream::kind_of(stream, kind)) return nullptr;
    // A file open opened itself, read from just after its 8-byte signature:
    // the places of the payloads are known and the file can be read again.
    if (kind == stream::Kind::kFileReader && PyBytes_CheckExact(signature.get()) &&
        PyBytes_GET_SIZE(signature.get()) == 8)
        return load_png_early(stream);

    Header header;
    Ref records = Ref::steal(PyList_New(0));
    Ref idat_payloads = Ref::steal(PyList_New(0));
    if (!records || !idat_payloads) return nullptr;
    // The payload list is read with borrowed items across host calls (a GC
    // callback or another thread can run during any of them). Untracked, no
    // Python code can find it with gc.get_referrers and change it meanwhile;
    // nothing but this Ref refers to it, so it can be in no cycle.
    PyObject_GC_UnTrack(idat_payloads.get());
    if (!read_chunks(stream, header, records.get(), idat_payloads.get())) return nullptr;
    Sizes sizes;
    ImageLayout layout;
    if (!layout_of(header, layout, sizes)) return nullptr;
    Planes planes;
    if (!decode_image_data(idat_payloads.get(), layout, planes)) return nullptr;
    idat_payloads.reset();
    return result(header, sizes, planes, records.get());
}

PyObject* load_png_in(PyObject* file) {
    Ref signature = Ref::steal(
        PyBytes_FromStringAndSize(PyBytes_AS_STRING(file), std::min<Py_ssize_t>(8, PyBytes_GET_SIZE(file))));
    if (!signature || !check_signature(signature.get())) return nullptr;
    Header header;
    Ref records = Ref::steal(PyList_New(0));
    if (!records) return nullptr;
    PayloadSpans spans;
    if (!read_chunks_in(file, header, records.get(), spans)) return nullptr;
    Sizes sizes;
    ImageLayout layout;
    if (!layout_of(header, layout, sizes)) return nullptr;
    Planes planes;
    if (!decode_image_data_in(file, spans.data(), spans.size(), layout, planes)) return nullptr;
    return result(header, sizes, planes, records.get());
}

}  // namespace tavrune::png
