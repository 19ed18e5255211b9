// inflate.hpp through zlib, for builds without libdeflate: zlib's streaming
// inflater, driven to finish a block in one call.
#include "core/bgzf/inflate.hpp"

#include <zlib.h>

namespace kelpa::core {

namespace {

// A raw inflater (no zlib or gzip wrapper), set up once per thread and reset
// for each block: setting one up allocates its window.
class RawInflater {
public:
    RawInflater() { ready_ = inflateInit2(&stream_, -MAX_WBITS) == Z_OK; }
    ~RawInflater() {
        if (ready_) inflateEnd(&stream_);
    }
    // Not copyable or movable.
    RawInflater(const RawInflater&) = delete;
    RawInflater& operator=(const RawInflater&) = delete;

    z_stream* stream() { return ready_ && inflateReset(&stream_) == Z_OK ? &stream_ : nullptr; }

private:
    z_stream stream_{};
    bool ready_ = false;
};

}  // namespace

Inflated inflate_raw(const char* in, std::size_t size, char* out, std::size_t room) {
    thread_local RawInflater inflater;
    z_stream* stream = inflater.stream();
    if (stream == nullptr) return {InflateStatus::out_of_memory};
    // Callers give at most a block (64 KiB) each way; zlib counts in uInt.
    stream->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
    stream->avail_in = static_cast<uInt>(size);
    stream->next_out = reinterpret_cast<Bytef*>(out);
    stream->avail_out = static_cast<uInt>(room);
    switch (inflate(stream, Z_FINISH)) {
        case Z_STREAM_END: return {InflateStatus::ok, size - stream->avail_in, room - stream->avail_out};
        case Z_MEM_ERROR: return {InflateStatus::out_of_memory};
        // Z_FINISH stops short with the output full (the stream goes on) or
        // the input spent (the stream was cut).
        case Z_BUF_ERROR:
        case Z_OK: return {stream->avail_out == 0 ? InflateStatus::no_room : InflateStatus::bad_data};
        default: return {InflateStatus::bad_data};
    }
}

std::uint32_t crc32_of(const char* data, std::size_t size) {
    return static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
}

std::string inflate_library() { return std::string("zlib ") + zlibVersion(); }

}  // namespace kelpa::core
