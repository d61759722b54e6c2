// The row builder of the PNG decoder: reconstructed rows written into the
// planes it owns from their allocation until the decoder returns them.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/memory_advice.hpp"
#include "core/pymem_array.hpp"
#include "core/ref.hpp"
#include "kernels/pixels.hpp"
#include "kernels/scanline.hpp"
#include "png/image_data.hpp"

namespace tavrune::png {

using Byte = std::uint8_t;

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
        if (!scratch_.allocate((scratch_rows + 1) * layout_.row_bytes + 1)) return false;
        held_ = scratch_.get() + scratch_rows * layout_.row_bytes;
        planes_.filters = Ref::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(layout_.height)));
        if (!planes_.filters) return false;
        memory::advise_huge_pages(planes_.rgb.get());
        if (layout_.bytes_per_pixel == 4) memory::advise_huge_pages(planes_.alpha.get());
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
            if (type == kernels::kPaeth) {
                reconstruct_pair(y - 1, held_, y, scanline + 1);
                return true;
            }
            reconstruct(y - 1, kernels::kPaeth, held_);
        }
        // The top row's Paeth has no row above and is reconstructed as it comes.
        if (type == kernels::kPaeth && y > 0 && y + 1 < layout_.height) {
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
        reconstruct(layout_.height - 1, kernels::kPaeth, held_);
    }

private:
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
    PyMemArray<Byte> scratch_;  // RGBA: three scratch rows; then the held-back row
    Byte* held_ = nullptr;
    bool holding_ = false;
    Byte* rgb_ = nullptr;
    Byte* alpha_ = nullptr;
    Byte* filters_ = nullptr;
};

}  // namespace tavrune::png
