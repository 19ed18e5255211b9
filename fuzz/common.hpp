// Helpers shared by the fuzz targets: an in-memory file with a path, a plain
// UTF-8 decoder, the White_Space set by code point, and a reader that turns
// fuzz bytes into numbers.
//
// The checks in the targets are written from the rules the core documents,
// deliberately the slow and obvious way, and share no code with src/core.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace fuzz {

[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "fuzz check failed: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    std::abort();
}

#define FUZZ_CHECK(condition, ...)                                             \
    do {                                                                       \
        if (!(condition)) ::fuzz::fail(#condition __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)

// One memfd per process, rewritten for every input, opened by the code
// under test through /proc/self/fd/N like any other path.
class MemoryFile {
public:
    MemoryFile() {
        fd_ = ::memfd_create("kelpa-fuzz", MFD_CLOEXEC);
        if (fd_ < 0) fail("memfd_create");
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemoryFile() { ::close(fd_); }

    const std::string& write(const void* data, std::size_t size) {
        if (::ftruncate(fd_, 0) != 0) fail("ftruncate");
        const auto* p = static_cast<const char*>(data);
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pwrite(fd_, p + done, size - done, static_cast<off_t>(done));
            if (n <= 0) fail("pwrite");
            done += static_cast<std::size_t>(n);
        }
        return path_;
    }

private:
    int fd_ = -1;
    std::string path_;
};

// Decodes one character of well-formed UTF-8 at the start of `text`:
// shortest form only, no surrogates, nothing above U+10FFFF.
struct Decoded {
    std::uint32_t code_point;
    std::size_t length;
};

inline std::optional<Decoded> decode_utf8(std::string_view text) {
    if (text.empty()) return std::nullopt;
    const auto b0 = static_cast<unsigned char>(text[0]);
    std::size_t length;
    std::uint32_t cp;
    if (b0 < 0x80) return Decoded{b0, 1};
    if ((b0 & 0xE0) == 0xC0) {
        length = 2;
        cp = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        length = 3;
        cp = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        length = 4;
        cp = b0 & 0x07;
    } else {
        return std::nullopt;
    }
    if (text.size() < length) return std::nullopt;
    for (std::size_t i = 1; i < length; ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if ((b & 0xC0) != 0x80) return std::nullopt;
        cp = (cp << 6) | (b & 0x3F);
    }
    static const std::uint32_t smallest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < smallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    return Decoded{cp, length};
}

inline bool valid_utf8(std::string_view text) {
    while (!text.empty()) {
        const auto c = decode_utf8(text);
        if (!c) return false;
        text.remove_prefix(c->length);
    }
    return true;
}

// The Unicode White_Space property.
inline bool is_white_space(std::uint32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
           cp == 0x3000;
}

// `text` (valid UTF-8) with White_Space removed from both ends, by code point.
inline std::string_view trim(std::string_view text) {
    while (!text.empty()) {
        const auto c = decode_utf8(text);
        if (!c || !is_white_space(c->code_point)) break;
        text.remove_prefix(c->length);
    }
    // From the end: find the start of the last character.
    while (!text.empty()) {
        std::size_t start = text.size() - 1;
        while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        const auto c = decode_utf8(text.substr(start));
        if (!c || !is_white_space(c->code_point)) break;
        text.remove_suffix(text.size() - start);
    }
    return text;
}

// Reads the fuzz input front to back; past its end every read gives zeros.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    std::uint64_t raw(int bytes) {
        std::uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) v |= std::uint64_t{byte()} << (8 * i);
        return v;
    }

    // A 64-bit number drawn so that the interesting ones come often: small
    // values, values near 2^64, and now and then any 64 bits.
    std::uint64_t number() {
        switch (byte() % 5) {
            case 0: return byte();
            case 1: return raw(2);
            case 2: return UINT64_MAX - byte();
            case 3: return raw(4);
            default: return raw(8);
        }
    }

    // The bytes not read yet.
    std::string_view rest() {
        const std::size_t at = pos_ < size_ ? pos_ : size_;
        pos_ = size_;
        return {reinterpret_cast<const char*>(data_ + at), size_ - at};
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

inline std::string hex_preview(std::string_view s, std::size_t max = 64) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < s.size() && i < max; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(s[i]));
        out += buf;
    }
    if (s.size() > max) out += "...";
    return out;
}

}  // namespace fuzz
