// The streamed path of the PNG decoder: the IDAT payloads inflated by the
// vendored zlib-ng a piece at a time and every row reconstructed as soon as it
// has arrived, with the interpreter lock released for a large image.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/errors.hpp"
#include "core/pymem_array.hpp"
#include "core/unlocked.hpp"
#include "png/image_data.hpp"
#include "png/row_builder.hpp"
#include "png/zlib_ng.hpp"

namespace tavrune::png {

// Outcome of a step of the streamed path: go on; give up and take the exact
// path (no exception set); or fail with an exception set.
enum class Streamed { kDone, kGaveUp, kFailed };

// Where the bytes of one payload lie: in a bytes object the caller holds.
struct Span {
    const Byte* data;
    std::size_t size;
};

// The streamed path: the payloads inflated by zlib-ng into a piece of output
// that holds a whole number of scanlines, and every scanline handed to the row
// builder where it lies as soon as it is complete. Nothing here calls into
// Python but the one allocation of the planes, and the payloads it reads lie
// in bytes objects the caller holds, so no pointer goes stale.
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
    // Once released, the lock stays released from one span to the next.
    Streamed run(const Span* spans, std::size_t count) {
        Streamed result = start();
        for (std::size_t i = 0; i < count && result == Streamed::kDone; ++i) result = feed_unlocked(spans[i]);
        if (result == Streamed::kDone) result = finish_unlocked();
        lock_.relock();
        return result;
    }

    // The three steps of run(), for payloads that arrive one at a time, with
    // Python code run between them: each step takes the lock back before it
    // returns. The bytes of a span need to stay only until feed() returns.
    Streamed start() {
        // A scanline is at most 2^31 bytes, so the piece's size fits the
        // inflater's 32-bit counts.
        capacity_ = std::max<std::size_t>(1, kOutputPiece / stride_) * stride_;
        if (!piece_.allocate(capacity_)) return Streamed::kFailed;
        if (!inflater_.start()) {
            errors::raise_no_memory();
            return Streamed::kFailed;
        }
        return Streamed::kDone;
    }

    // span: where a payload lies, read off the held object by the caller:
    // with the lock released nothing looks into a Python object.
    Streamed feed(const Span& span) {
        if (rows_.allocated() && layout_.expected >= kUnlockedMinimum) lock_.unlock();
        const Streamed result = feed_unlocked(span);
        lock_.relock();
        return result;
    }

    Streamed finish() {
        if (rows_.allocated() && layout_.expected >= kUnlockedMinimum) lock_.unlock();
        const Streamed result = finish_unlocked();
        lock_.relock();
        return result;
    }

private:
    Streamed feed_unlocked(const Span& span) {
        const Byte* data = span.data;
        std::size_t left = span.size;
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
        return Streamed::kDone;
    }

    Streamed finish_unlocked() {
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
    PyMemArray<Byte> piece_;
    zng::Inflater inflater_;
    std::size_t filled_ = 0;  // bytes of the piece inflated
    std::size_t used_ = 0;    // bytes of the piece handed on as scanlines
    std::size_t next_row_ = 0;
    std::int64_t total_ = 0;
    bool ended_ = false;
    Unlocked lock_;
};

}  // namespace tavrune::png
