// Image data inflated as its chunks are read, for a file that open opened
// itself: each CRC-checked IDAT payload is fed to the streamed path as soon as
// its chunk is read and dropped, so the compressed data is never held whole.
// Nothing is decided before the chunk loop has read and checked every chunk
// to IEND: every error of the loop comes first, as it does when the payloads
// are kept. The streamed path starts once the header so far is valid and the
// data so far could inflate to the image at all (streamable()); until then
// the payloads are kept. When it gives up, or the header it started from is
// not the final one, the exact path gets every payload again, read from the
// file at the places recorded.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "core/pymem_array.hpp"
#include "png/header.hpp"
#include "png/image_data.hpp"
#include "png/row_builder.hpp"
#include "png/streamed_rows.hpp"

namespace tavrune::png {

// Where an IDAT payload lies in the file, and its CRC.
struct PayloadPlace {
    std::uint64_t offset;
    std::uint32_t size;
    std::uint32_t crc;
};

class EarlyImageData {
public:
    explicit EarlyImageData(Planes& planes) : planes_(planes) {}
    EarlyImageData(const EarlyImageData&) = delete;
    EarlyImageData& operator=(const EarlyImageData&) = delete;

    // A checked IDAT payload whose data starts at offset; kept in payloads
    // unless the streamed path takes it. False with an exception set.
    bool take(PyObject* payload, const PayloadPlace& place, const Header& header, PyObject* payloads);

    // After the chunk loop, with header validated: true with done set when
    // the planes hold the image; else the exact path is to run over payloads
    // (refilled from stream when some were dropped). False with an exception set.
    bool conclude(const Header& header, PyObject* stream, PyObject* payloads, bool& done);

private:
    enum class State { kWaiting, kStreaming, kStopped };

    bool try_start(const Header& header, PyObject* payloads);
    bool feed(PyObject* payload);
    bool stop_streaming(bool failed);
    bool reread(PyObject* stream, PyObject* payloads);

    Planes& planes_;
    ImageLayout layout_{};
    Header started_from_;
    std::optional<RowBuilder> rows_;
    std::optional<StreamedRows> streamed_;
    PyMemArray<PayloadPlace> places_;
    std::int64_t compressed_ = 0;
    State state_ = State::kWaiting;
    bool dropped_ = false;
};

}  // namespace tavrune::png
