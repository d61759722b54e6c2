// Image data: the IDAT payloads inflated and every row reconstructed into the
// image's planes.
//
// Two paths give the same result. The streamed path inflates the payloads with
// the vendored zlib-ng, a piece at a time, and reconstructs each row as soon as
// its bytes have arrived, straight into the final planes: no payloads joined
// into one more copy, no inflated image held whole, and each piece of output is
// still in cache when its rows are reconstructed. It stops at the first thing
// it does not expect (data zlib-ng refuses, too much or too little data, an
// unknown filter type) and the exact path then runs from the start (rows
// already made are simply made again): it joins the payloads, inflates them in
// one bounded call of the host's zlib module and raises exactly what the
// decoder has always raised for such data, the host zlib's own texts included.
#include "png/image_data.hpp"

#include "core/host.hpp"
#include "core/messages.hpp"
#include "core/ref.hpp"
#include "core/unlocked.hpp"
#include "kernels/pixels.hpp"
#include "kernels/scanline.hpp"
#include "png/zlib_ng.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace tavrune::png {

namespace {

using Byte = std::uint8_t;

struct MemFree {
    void operator()(Byte* p) const { PyMem_Free(p); }
};
using Buffer = std::unique_ptr<Byte, MemFree>;

// Outcome of a step of the streamed path: go on; give up and take the exact
// path (no exception set); or fail with an exception set.
enum class Streamed { kDone, kGaveUp, kFailed };

// Where the bytes of one payload lie: in a bytes object the caller holds.
struct Span {
    const Byte* data;
    std::size_t size;
};

// An array of spans from PyMem_Malloc; MemoryError when there is no room.
class Spans {
public:
    bool reserve(std::size_t count) {
        items_.reset(static_cast<Span*>(PyMem_Malloc(std::max<std::size_t>(count, 1) * sizeof(Span))));
        if (!items_) PyErr_NoMemory();
        return static_cast<bool>(items_);
    }
    Span* get() const { return items_.get(); }

private:
    struct Free {
        void operator()(Span* p) const { PyMem_Free(p); }
    };
    std::unique_ptr<Span, Free> items_;
};

// A plane is written once from end to end right after it is allocated, and a
// large one takes thousands of page faults when its memory is new to the
// process (a third of the time of opening an RGBA photo). Asking for
// transparent huge pages, as NumPy does for its large arrays, makes them a
// handful where the system has them enabled for advised memory; it is only
// advice, and nothing changes where it is not taken.
void advise_huge_pages(PyObject* plane) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr Py_ssize_t kLarge = Py_ssize_t{4} << 20;
    if (PyByteArray_GET_SIZE(plane) < kLarge) return;
    const long page_size = sysconf(_SC_PAGESIZE);
    if (page_size <= 0) return;
    const auto page = static_cast<std::uintptr_t>(page_size);
    const auto start = reinterpret_cast<std::uintptr_t>(PyByteArray_AS_STRING(plane));
    const std::uintptr_t begin = (start + page - 1) & ~(page - 1);
    const std::uintptr_t end = (start + static_cast<std::uintptr_t>(PyByteArray_GET_SIZE(plane))) & ~(page - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)plane;
#endif
}

// Reconstructs rows in order into planes it allocates before the first row.
// RGB rows go straight into the colour plane, each against the row above it
// there; RGBA rows are reconstructed into three scratch rows used in turn (the
// rows above stay there as predictions) and split. A Paeth row is held back,
// copied, until the next row arrives: when that one is Paeth too, the two are
// reconstructed together, which is much faster than one after the other.
class RowBuilder {
public:
    RowBuilder(const ImageLayout& layout, Planes& planes) : layout_(layout), planes_(planes) {}

    bool allocated() const { return static_cast<bool>(planes_.filters); }

    // Allocates the planes and scratch rows unless done already; false with
    // MemoryError set.
    bool allocate() {
        if (planes_.filters) return true;
        const auto pixel_count = static_cast<Py_ssize_t>(layout_.width * layout_.height);
        planes_.rgb = Ref::steal(PyByteArray_FromStringAndSize(nullptr, pixel_count * 3));
        if (!planes_.rgb) return false;
        planes_.alpha = layout_.bytes_per_pixel == 4 ? Ref::steal(PyByteArray_FromStringAndSize(nullptr, pixel_count))
                                                     : Ref::borrow(Py_None);
        if (!planes_.alpha) return false;
        const std::size_t scratch_rows = layout_.bytes_per_pixel == 4 ? 3 : 0;
        scratch_.reset(static_cast<Byte*>(PyMem_Malloc((scratch_rows + 1) * layout_.row_bytes + 1)));
        if (!scratch_) {
            PyErr_NoMemory();
            return false;
        }
        held_ = scratch_.get() + scratch_rows * layout_.row_bytes;
        planes_.filters = Ref::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(layout_.height)));
        if (!planes_.filters) return false;
        advise_huge_pages(planes_.rgb.get());
        if (layout_.bytes_per_pixel == 4) advise_huge_pages(planes_.alpha.get());
        // The planes are this decoder's own until it returns: no Python code sees
        // them, so these pointers stay valid across the host calls that inflate.
        rgb_ = bytes_of(planes_.rgb.get());
        alpha_ = layout_.bytes_per_pixel == 4 ? bytes_of(planes_.alpha.get()) : nullptr;
        filters_ = bytes_of(planes_.filters.get());
        return true;
    }

    // Drops the planes and scratch rows, so that the exact path holds no more
    // memory than it did on its own.
    void release() {
        planes_ = Planes{};
        scratch_.reset();
        holding_ = false;
    }

    // Row y from its filter type byte and row_bytes filtered bytes; rows come in
    // order from 0, after allocate(), and finish() follows the last. False, with
    // nothing set, for an unknown filter type; an empty row's type is only kept.
    bool put(std::size_t y, const Byte* scanline) {
        const Byte type = scanline[0];
        filters_[y] = type;
        const std::size_t n = layout_.row_bytes;
        if (n == 0) return true;
        if (type > kernels::kMaxFilterType) return false;
        if (holding_) {
            holding_ = false;
            if (type == kPaeth) {
                reconstruct_pair(y - 1, held_, y, scanline + 1);
                return true;
            }
            reconstruct(y - 1, kPaeth, held_);
        }
        // The top row's Paeth has no row above and is reconstructed as it comes.
        if (type == kPaeth && y > 0 && y + 1 < layout_.height) {
            std::memcpy(held_, scanline + 1, n);
            holding_ = true;
            return true;
        }
        reconstruct(y, type, scanline + 1);
        return true;
    }

    // Reconstructs a row still held back.
    void finish() {
        if (!holding_) return;
        holding_ = false;
        reconstruct(layout_.height - 1, kPaeth, held_);
    }

private:
    static constexpr Byte kPaeth = 4;

    static Byte* bytes_of(PyObject* array) { return reinterpret_cast<Byte*>(PyByteArray_AS_STRING(array)); }

    // Where row y is reconstructed: its place in the colour plane, or a scratch row.
    Byte* row_out(std::size_t y) const {
        const std::size_t n = layout_.row_bytes;
        return alpha_ == nullptr ? rgb_ + y * n : scratch_.get() + (y % 3) * n;
    }

    void split(std::size_t y) const {
        if (alpha_ != nullptr)
            kernels::split_row(row_out(y), layout_.width, 4, rgb_ + y * layout_.width * 3, alpha_ + y * layout_.width);
    }

    void reconstruct(std::size_t y, Byte type, const Byte* filtered) const {
        kernels::unfilter_row(type, filtered, row_out(y), y ? row_out(y - 1) : nullptr, layout_.row_bytes,
                              layout_.bytes_per_pixel);
        split(y);
    }

    // Rows y0 >= 1 and y1 = y0 + 1, both Paeth.
    void reconstruct_pair(std::size_t y0, const Byte* filtered0, std::size_t y1, const Byte* filtered1) const {
        kernels::unfilter_paeth_pair(filtered0, filtered1, row_out(y0), row_out(y1), row_out(y0 - 1),
                                     layout_.row_bytes, layout_.bytes_per_pixel);
        split(y0);
        split(y1);
    }

    const ImageLayout& layout_;
    Planes& planes_;
    Buffer scratch_;  // RGBA: three scratch rows; then the held-back row
    Byte* held_ = nullptr;
    bool holding_ = false;
    Byte* rgb_ = nullptr;
    Byte* alpha_ = nullptr;
    Byte* filters_ = nullptr;
};

// The streamed path: the payloads inflated by zlib-ng into a piece of output
// that holds a whole number of scanlines, and every scanline handed to the row
// builder where it lies as soon as it is complete. Nothing here calls into
// Python but the one allocation of the planes, and the payloads it reads are
// bytes held by the caller's tuple, so no pointer goes stale.
//
// Once the planes exist, the rest (inflation, reconstruction, the split of
// colour and alpha) works on memory only this decoder can reach: the payloads,
// immutable and held; the planes and scratch rows, private until returned; the
// inflater, whose memory is raw. For an image large enough, the interpreter
// lock is released for all of it, so other threads run meanwhile; it is taken
// back before anything is reported or any Python object is touched again.
class StreamedRows {
public:
    StreamedRows(const ImageLayout& layout, RowBuilder& rows)
        : layout_(layout), rows_(rows), stride_(layout.row_bytes + 1) {}

    // kGaveUp for anything the exact path must judge: data zlib-ng refuses, a
    // stream that ends early or late, an unknown filter type.
    Streamed run(const Span* spans, std::size_t count) {
        const Streamed result = run_inflater(spans, count);
        lock_.relock();
        return result;
    }

private:
    // spans: where the payloads lie, read off the held objects by the caller:
    // with the lock released nothing looks into a Python object.
    Streamed run_inflater(const Span* spans, std::size_t count) {
        // A scanline is at most 2^31 bytes, so the piece's size fits the
        // inflater's 32-bit counts.
        capacity_ = std::max<std::size_t>(1, kOutputPiece / stride_) * stride_;
        piece_.reset(static_cast<Byte*>(PyMem_Malloc(capacity_)));
        if (!piece_ || !inflater_.start()) {
            PyErr_NoMemory();
            return Streamed::kFailed;
        }
        for (std::size_t i = 0; i < count && !ended_; ++i) {
            const Byte* data = spans[i].data;
            std::size_t left = spans[i].size;
            while (left > 0 && !ended_) {
                const auto slice = static_cast<std::uint32_t>(std::min<std::size_t>(left, kInputSlice));
                inflater_.input(data, slice);
                while (inflater_.input_left() > 0 && !ended_) {
                    const std::uint32_t before = inflater_.input_left();
                    const std::int64_t total = total_;
                    const Streamed step = inflate_once();
                    if (step != Streamed::kDone) return step;
                    if (!ended_ && total_ == total && inflater_.input_left() == before) return Streamed::kGaveUp;
                }
                data += slice;
                left -= slice;
            }
        }
        // All input read: output the size limit held back may still be pending.
        while (!ended_) {
            const std::int64_t total = total_;
            const Streamed step = inflate_once();
            if (step != Streamed::kDone) return step;
            if (!ended_ && total_ == total) return Streamed::kGaveUp;  // the stream is incomplete
        }
        return total_ == layout_.expected ? Streamed::kDone : Streamed::kGaveUp;
    }

    // Input slices stay within the inflater's 32-bit count. Output pieces of
    // about 96 KiB, three times the deflate window, stay in the second-level
    // cache until their rows are made, and are large enough that most
    // back-references lie inside the piece and the inflater copies little
    // into its window: pieces of 32 KiB made all-Paeth files 6-10 % slower to
    // open and flat ones 15-25 %; 256 KiB gained at most 2 % more and raised
    // the peak memory of open by as much as 1.5 % of the planes.
    static constexpr std::size_t kInputSlice = std::size_t{1} << 30;
    static constexpr std::size_t kOutputPiece = 96 * 1024;
    // The lock is released for image data of 64 KiB or more (an RGB image of
    // about 150x150 pixels). Below that, the switch costs more than the work
    // it lets run beside other threads: opening files of 16x16 to 64x64 on a
    // pool of two threads took 10-40 % longer with it released, 128x128
    // (48 KiB) was even, and from 160x160 (75 KiB) up the pool gained.
    static constexpr std::int64_t kUnlockedMinimum = std::int64_t{1} << 16;

    // One call of the inflater into the free end of the piece, never past
    // expected + 1 bytes in all, then every scanline it completed.
    Streamed inflate_once() {
        const auto room = static_cast<std::uint32_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(capacity_ - filled_), layout_.expected + 1 - total_));
        std::uint32_t produced = 0;
        const zng::Inflater::Status status = inflater_.inflate(piece_.get() + filled_, room, produced);
        if (status == zng::Inflater::Status::kFailed) return Streamed::kGaveUp;
        total_ += produced;
        if (total_ > layout_.expected) return Streamed::kGaveUp;
        filled_ += produced;
        if (filled_ - used_ >= stride_ && !rows_.allocated()) {
            if (!rows_.allocate()) return Streamed::kFailed;
            if (layout_.expected >= kUnlockedMinimum) lock_.unlock();
        }
        // At most expected bytes so far: never more than height scanlines.
        for (; filled_ - used_ >= stride_; used_ += stride_)
            if (!rows_.put(next_row_++, piece_.get() + used_)) return Streamed::kGaveUp;
        if (filled_ == capacity_) filled_ = used_ = 0;  // a whole number of scanlines: all used
        ended_ = status == zng::Inflater::Status::kEnded;
        return Streamed::kDone;
    }

    const ImageLayout& layout_;
    RowBuilder& rows_;
    const std::size_t stride_;
    std::size_t capacity_ = 0;
    Buffer piece_;
    zng::Inflater inflater_;
    std::size_t filled_ = 0;  // bytes of the piece inflated
    std::size_t used_ = 0;    // bytes of the piece handed on as scanlines
    std::size_t next_row_ = 0;
    std::int64_t total_ = 0;
    bool ended_ = false;
    Unlocked lock_;
};

// 1 when the inflater's attribute name is true, 0 when false, -1 on error.
int attribute_truth(PyObject* inflater, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(inflater, name));
    return value ? PyObject_IsTrue(value.get()) : -1;
}

// The joined IDAT payloads inflated as one zlib stream, exactly expected bytes
// long. Inflation stops after expected + 1 bytes, so data that inflates to far
// more (a decompression bomb) costs no more than the image it claims to be.
// Data that is not a complete zlib stream raises the host zlib's own error, the
// one zlib.decompress gives; bytes after the end of the stream are ignored.
// payloads is the list or the tuple of the payloads.
Ref inflate_whole(PyObject* payloads, std::int64_t expected) {
    // "(O)": a tuple is the one argument, not the argument list.
    Ref joined = Ref::steal(PyObject_CallMethod(host::constants.empty_bytes, "join", "(O)", payloads));
    if (!joined) return {};
    Ref inflater = Ref::steal(PyObject_CallNoArgs(host::objects.zlib_decompressobj));
    if (!inflater) return {};
    Ref inflated = Ref::steal(PyObject_CallMethod(inflater.get(), "decompress", "OL", joined.get(),
                                                  static_cast<long long>(expected + 1)));
    if (!inflated) return {};
    if (PyBytes_GET_SIZE(inflated.get()) > expected) {
        PyErr_SetString(PyExc_ValueError, msg::kPngMalformed);
        return {};
    }
    const int ended = attribute_truth(inflater.get(), host::constants.str_eof);
    if (ended < 0) return {};
    if (!ended) {
        // The output limit was not reached, so all input was consumed without
        // reaching the stream's end. Inflating it again in one piece is just as
        // bounded and raises the host's error for an incomplete stream.
        inflated = Ref::steal(PyObject_CallOneArg(host::objects.zlib_decompress, joined.get()));
        if (!inflated) return {};
    }
    if (PyBytes_GET_SIZE(inflated.get()) != expected) {
        PyErr_SetString(PyExc_ValueError, msg::kPngMalformed);
        return {};
    }
    return inflated;
}

bool decode_exactly(PyObject* payloads, const ImageLayout& layout, RowBuilder& rows) {
    Ref raw = inflate_whole(payloads, layout.expected);
    if (!raw || !rows.allocate()) return false;
    const auto* scanline = reinterpret_cast<const Byte*>(PyBytes_AS_STRING(raw.get()));
    for (std::size_t y = 0; y < layout.height; ++y, scanline += layout.row_bytes + 1) {
        if (!rows.put(y, scanline)) {
            PyErr_Format(PyExc_ValueError, "%s%d", msg::kPngFilterPrefix, int{scanline[0]});
            return false;
        }
    }
    rows.finish();
    return true;
}

// The payloads as a tuple of the objects the list holds now: a list, even one
// of the decoder's own, can be reached and changed by Python code (through
// gc.get_referrers) whenever an object is allocated, a tuple cannot. False
// with an exception set on failure; true with taken empty when the list
// changed while the tuple was allocated.
bool take_payloads(PyObject* idat_payloads, Ref& taken) {
    const Py_ssize_t count = PyList_GET_SIZE(idat_payloads);
    Ref tuple = Ref::steal(PyTuple_New(count));
    if (!tuple) return false;
    if (PyList_GET_SIZE(idat_payloads) != count) return true;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* payload = PyList_GET_ITEM(idat_payloads, i);
        Py_INCREF(payload);
        PyTuple_SET_ITEM(tuple.get(), i, payload);
    }
    taken = std::move(tuple);
    return true;
}

// Whether the streamed path may take payloads of compressed bytes in all:
// enough to inflate to expected bytes at all. Deflate expands by at most about
// 1032:1, so a header claiming far more than the data can hold is left to the
// exact path, which inflates at most what the data holds and refuses it,
// instead of reserving the claimed image as rows start arriving.
bool streamable(std::int64_t compressed, std::int64_t expected) {
    constexpr std::int64_t kMaxExpansion = 1100;  // a margin above deflate's bound
    constexpr std::int64_t kSlack = 1024;
    return expected <= compressed * kMaxExpansion + kSlack;
}

// The streamed path over spans of held, immutable bytes, then the exact path
// over payloads() (a list or tuple of bytes objects, made only when needed)
// when it gives up.
template <class Payloads>
bool decode_spans(const Span* spans, std::size_t count, const ImageLayout& layout, Planes& planes,
                  Payloads&& payloads) {
    RowBuilder rows(layout, planes);
    std::int64_t compressed = 0;
    for (std::size_t i = 0; i < count; ++i) compressed += static_cast<std::int64_t>(spans[i].size);
    if (streamable(compressed, layout.expected)) {
        switch (StreamedRows(layout, rows).run(spans, count)) {
            case Streamed::kDone:
                if (!rows.allocate()) return false;  // an image of no rows has its planes too
                rows.finish();
                return true;
            case Streamed::kFailed: return false;
            case Streamed::kGaveUp: break;
        }
    }
    rows.release();
    Ref taken = payloads();
    return taken && decode_exactly(taken.get(), layout, rows);
}

}  // namespace

bool decode_image_data(PyObject* idat_payloads, const ImageLayout& layout, Planes& planes) {
    Ref payloads;
    if (!take_payloads(idat_payloads, payloads)) return false;
    // The streamed path takes the payloads only when all are exactly bytes:
    // what else read returned is the exact path's to report.
    bool all_bytes = static_cast<bool>(payloads);
    const Py_ssize_t count = payloads ? PyTuple_GET_SIZE(payloads.get()) : 0;
    for (Py_ssize_t i = 0; all_bytes && i < count; ++i)
        all_bytes = PyBytes_CheckExact(PyTuple_GET_ITEM(payloads.get(), i));
    if (!all_bytes) {
        RowBuilder rows(layout, planes);
        return decode_exactly(payloads ? payloads.get() : idat_payloads, layout, rows);
    }
    Spans spans;
    if (!spans.reserve(static_cast<std::size_t>(count))) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* payload = PyTuple_GET_ITEM(payloads.get(), i);
        spans.get()[i] = {reinterpret_cast<const Byte*>(PyBytes_AS_STRING(payload)),
                          static_cast<std::size_t>(PyBytes_GET_SIZE(payload))};
    }
    return decode_spans(spans.get(), static_cast<std::size_t>(count), layout, planes,
                        [&] { return Ref::borrow(payloads.get()); });
}

bool decode_image_data_in(PyObject* memory, const PayloadSpan* payload_spans, std::size_t count,
                          const ImageLayout& layout, Planes& planes) {
    Spans spans;
    if (!spans.reserve(count)) return false;
    const auto* base = reinterpret_cast<const Byte*>(PyBytes_AS_STRING(memory));
    for (std::size_t i = 0; i < count; ++i)
        spans.get()[i] = {base + payload_spans[i].offset, payload_spans[i].size};
    // Should the streamed path give up, the exact path gets the payloads as
    // the stream would have read them: one bytes object each.
    // The list is untracked, as the chunk loop's own: no Python code finds it.
    return decode_spans(spans.get(), count, layout, planes, [&]() -> Ref {
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return {};
        PyObject_GC_UnTrack(list.get());
        for (std::size_t i = 0; i < count; ++i) {
            Ref payload = Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(memory) + payload_spans[i].offset,
                                                               static_cast<Py_ssize_t>(payload_spans[i].size)));
            if (!payload || PyList_Append(list.get(), payload.get()) < 0) return {};
        }
        return list;
    });
}

}  // namespace tavrune::png
