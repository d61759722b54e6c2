#include "png/early_image_data.hpp"

#include "core/errors.hpp"
#include "core/host.hpp"
#include "core/messages.hpp"
#include "core/ref.hpp"
#include "core/stream.hpp"
#include "png/chunk.hpp"

namespace tavrune::png {

bool EarlyImageData::take(PyObject* payload, const PayloadPlace& place, const Header& header, PyObject* payloads) {
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

bool EarlyImageData::conclude(const Header& header, PyObject* stream, PyObject* payloads, bool& done) {
    done = false;
    if (state_ == State::kStreaming && header == started_from_) {
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

bool EarlyImageData::try_start(const Header& header, PyObject* payloads) {
    if (!usable(header, layout_) || !streamable(compressed_, layout_.expected)) return true;
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
bool EarlyImageData::feed(PyObject* payload) {
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
bool EarlyImageData::stop_streaming(bool failed) {
    if (failed) PyErr_Clear();
    state_ = State::kStopped;
    streamed_.reset();
    rows_->release();
    rows_.reset();
    return true;
}

// Every payload read again from the file, in order, into payloads: the
// bytes the chunk loop checked, checked again against their CRC.
bool EarlyImageData::reread(PyObject* stream, PyObject* payloads) {
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
            return errors::raise(PyExc_ValueError, msg::kCorruptChunk);  // the file changed since it was read
        if (PyList_Append(payloads, data.get()) < 0) return false;
    }
    return true;
}

}  // namespace tavrune::png
