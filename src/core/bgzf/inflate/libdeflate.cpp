// inflate.hpp through libdeflate: whole blocks at once, about twice as fast
// as zlib on 64 KiB blocks.
#include "core/bgzf/inflate.hpp"

#include <libdeflate.h>

#include <memory>

namespace kelpa::core {

namespace {

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// One decompressor per thread: it is some 10 KiB of tables, too much to
// allocate per block and not safe to share.
libdeflate_decompressor* thread_decompressor() {
    thread_local std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(
        libdeflate_alloc_decompressor());
    return decompressor.get();
}

}  // namespace

Inflated inflate_raw(const char* in, std::size_t size, char* out, std::size_t room) {
    libdeflate_decompressor* decompressor = thread_decompressor();
    if (decompressor == nullptr) return {InflateStatus::out_of_memory};
    Inflated inflated;
    switch (
        libdeflate_deflate_decompress_ex(decompressor, in, size, out, room, &inflated.consumed, &inflated.produced)) {
        case LIBDEFLATE_SUCCESS: return inflated;
        case LIBDEFLATE_INSUFFICIENT_SPACE: return {InflateStatus::no_room};
        default: return {InflateStatus::bad_data};
    }
}

std::uint32_t crc32_of(const char* data, std::size_t size) { return libdeflate_crc32(0, data, size); }

std::string inflate_library() { return "libdeflate " LIBDEFLATE_VERSION_STRING; }

}  // namespace kelpa::core
