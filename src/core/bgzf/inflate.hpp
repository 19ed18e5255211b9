// Raw deflate streams and CRC32: the one place a BGZF block's compressed
// data meets a compression library. CMakeLists.txt links one of two
// implementations: inflate/libdeflate.cpp, or inflate/zlib.cpp where
// libdeflate is missing (or KELPA_USE_LIBDEFLATE=OFF). The two give the
// same results; zlib's is slower.
//
// Threads: every function may be called from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelpa::core {

enum class InflateStatus {
    ok,
    bad_data,       // not a valid raw deflate stream, or one cut short
    no_room,        // the stream inflates to more than the room given
    out_of_memory,  // no inflater could be set up
};

struct Inflated {
    InflateStatus status = InflateStatus::ok;
    std::size_t consumed = 0;  // bytes of `in` up to the end of the stream (status ok)
    std::size_t produced = 0;  // bytes written to `out` (status ok)
};

// Inflates the raw deflate stream at the start of `in` (it may be followed
// by other bytes) into `out`, which has room for `room` bytes.
Inflated inflate_raw(const char* in, std::size_t size, char* out, std::size_t room);

// The CRC32 of gzip over `size` bytes at `data`.
std::uint32_t crc32_of(const char* data, std::size_t size);

// The library and its version, e.g. "libdeflate 1.14" or "zlib 1.2.13".
std::string inflate_library();

}  // namespace kelpa::core
