// Every kernel's result on random text, one line per kernel and input, so
// that two runs compare one path with another: the best path of the CPU
// (AVX2 or SSSE3 on x86-64, NEON on aarch64) against the portable one
// (KELPA_KERNELS=portable), natively or under emulation. The inputs are
// fixed by a seed; the lengths are 0..200 (around every vector width) and
// a few long ones, in three alphabets: A/C/G/T with some N, every IUPAC
// letter in either case, and any byte. Every line is also checked against
// a plain loop here, so one run alone finds a kernel that is wrong.
//
//   c++ -std=c++20 -O2 -Isrc -o build/kernels_check tests/kernels_check.cpp
//       src/core/kernels/*.cpp src/core/base/utf8.cpp        (one line)
//   KELPA_KERNELS=portable build/kernels_check > build/portable.txt
//   build/kernels_check build/portable.txt      # exit 0: the paths agree
//
// tests/test_kernels.py does that natively. For aarch64, build with
// `python -m ziglang c++ -target aarch64-linux-musl -static` (or
// aarch64-linux-gnu-g++ -static) and run both under qemu-aarch64-static.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/kernels/dispatch.hpp"
#include "core/kernels/encoding.hpp"
#include "core/kernels/line_copy.hpp"
#include "core/kernels/line_scan.hpp"
#include "core/kernels/sequence.hpp"

namespace {

using namespace kelpa::core;

std::mt19937_64 rng(20240611);
int wrong = 0;

std::string random_text(std::size_t n, int alphabet) {
    static const std::string acgt = "ACGTACGTACGTACGTacgtN";
    static const std::string iupac = "ACGTURYSWKMBDHVNXacgturyswkmbdhvnx-*";
    std::string text(n, '\0');
    for (auto& c : text) {
        const std::uint64_t r = rng();
        if (alphabet == 0) c = acgt[r % acgt.size()];
        else if (alphabet == 1) c = iupac[r % iupac.size()];
        else c = static_cast<char>(r);
    }
    return text;
}

std::uint64_t digest(const void* data, std::size_t n) {
    std::uint64_t h = 1469598103934665603u;
    for (std::size_t i = 0; i < n; ++i) h = (h ^ static_cast<const unsigned char*>(data)[i]) * 1099511628211u;
    return h;
}

std::uint64_t digest(const std::string& s) { return digest(s.data(), s.size()); }

std::uint64_t bits_of(double x) {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

std::ostringstream out;

void report(const char* kernel, int alphabet, std::size_t n, std::uint64_t value, bool right) {
    out << kernel << ' ' << alphabet << ' ' << n << ' ' << std::hex << value << std::dec << '\n';
    if (!right) {
        if (++wrong <= 20) std::cerr << "wrong: " << kernel << " alphabet " << alphabet << " length " << n << '\n';
    }
}

std::string complemented(const std::string& text, bool keep_others) {
    std::string result = text;
    for (auto& c : result) {
        const auto byte = static_cast<unsigned char>(c);
        const unsigned char to_n = COMPLEMENT_TABLE[byte];
        if (!keep_others) c = static_cast<char>(to_n);
        else if (byte == 'U' || byte == 'u') c = static_cast<char>(byte == 'U' ? 'A' : 'a');
        else c = static_cast<char>(to_n != 'N' && to_n != byte ? to_n : byte);
    }
    return result;
}

void check_sequence(const std::string& text, int alphabet) {
    const std::size_t n = text.size();
    const std::string reversed(text.rbegin(), text.rend());
    std::string got(n, '\0');

    complement(text.data(), n, got.data());
    report("complement", alphabet, n, digest(got), got == complemented(text, false));
    reverse(text.data(), n, got.data());
    report("reverse", alphabet, n, digest(got), got == reversed);
    got = text;
    reverse_in_place(got.data(), n);
    report("reverse_in_place", alphabet, n, digest(got), got == reversed);
    for (const bool keep : {false, true}) {
        const ComplementRule rule = keep ? ComplementRule::KeepOthers : ComplementRule::ToN;
        const std::string expected = complemented(reversed, keep);
        reverse_complement(text.data(), n, got.data(), rule);
        report(keep ? "reverse_complement_keeping" : "reverse_complement", alphabet, n, digest(got), got == expected);
        got = text;
        reverse_complement_in_place(got.data(), n, rule);
        report(keep ? "reverse_complement_in_place_keeping" : "reverse_complement_in_place", alphabet, n, digest(got),
               got == expected);
    }
    got = text;
    to_upper_ascii(got.data(), n);
    std::string upper = text;
    for (auto& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    report("to_upper_ascii", alphabet, n, digest(got), got == upper);
    bool ascii = true;
    for (const char c : text) ascii &= static_cast<unsigned char>(c) < 128;
    report("is_ascii", alphabet, n, is_ascii(text.data(), n), is_ascii(text.data(), n) == ascii);

    std::uint64_t gc = 0, acgt = 0, counted = 0;
    double weights = 0;
    for (const char c : text) {
        const char u = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
        gc += u == 'C' || u == 'G';
        acgt += u == 'A' || u == 'C' || u == 'G' || u == 'T';
        const char* letters = "CGSATWKMRYBVDHN";
        const double weight[] = {1, 1, 1, 0, 0, 0, 0.5, 0.5, 0.5, 0.5, 0.67, 0.67, 0.33, 0.33, 0.25};
        if (const char* at = u != 0 ? std::strchr(letters, u) : nullptr) {
            weights += weight[at - letters];
            ++counted;
        }
    }
    const double fraction = n == 0 ? 0.0 : static_cast<double>(gc) / static_cast<double>(n);
    const double strict = acgt == 0 ? 0.0 : static_cast<double>(gc) / static_cast<double>(acgt);
    const double iupac = counted == 0 ? 0.0 : weights / static_cast<double>(counted);
    report("gc", alphabet, n, bits_of(gc_fraction(text.data(), n)), gc_fraction(text.data(), n) == fraction);
    report("gc_strict", alphabet, n, bits_of(gc_strict_fraction(text.data(), n)),
           gc_strict_fraction(text.data(), n) == strict);
    report("gc_iupac", alphabet, n, bits_of(gc_iupac_fraction(text.data(), n)),
           gc_iupac_fraction(text.data(), n) == iupac);
}

// The text as lines of `width` bases ending in `eol`, some of them broken
// (a stray "\r" or a short line) when `damaged`.
std::string laid_out(const std::string& bases, std::size_t width, const char* eol, bool damaged) {
    std::string file;
    for (std::size_t at = 0; at < bases.size(); at += width) {
        file += bases.substr(at, width);
        if (damaged && rng() % 7 == 0) file.back() = '\r';
        file += eol;
    }
    return file;
}

void check_lines(std::string bases, int alphabet) {
    const std::size_t n = bases.size();
    for (auto& c : bases)
        if (c == '\n' || c == '\r') c = 'N';
    for (const std::size_t width : {1, 7, 15, 16, 17, 31, 32, 33, 60, 63, 64, 65, 70, 128}) {
        for (const char* eol : {"\n", "\r\n"}) {
            const std::size_t gap = std::strlen(eol);
            for (const bool damaged : {false, true}) {
                const std::string file = laid_out(bases, width, eol, damaged);
                // From every start up to a line and a half in, to the end.
                for (std::size_t start = 0; start < std::min(n, width + width / 2 + 1); ++start) {
                    const std::size_t column = start % width;
                    const std::size_t count = n - start;
                    const std::size_t offset = start / width * (width + gap) + column;
                    std::string expected;
                    for (std::size_t k = offset; k < file.size() && expected.size() < count; ++k)
                        if (file[k] != '\n' && file[k] != '\r') expected += file[k];
                    const char* in = file.data() + offset;
                    std::string got(count, '\0');
                    const bool laid = copy_lines(in, column, width, gap, count, got.data());
                    const bool right = laid ? got == expected : damaged;
                    report("copy_lines", alphabet, n * 1000 + width, (laid ? digest(got) : 0) ^ start, right);
                    const char* from = in;
                    std::string copied(count, '\0');
                    const std::uint64_t written = copy_breakless(from, file.data() + file.size(), copied.data(), count);
                    copied.resize(written);
                    report("copy_breakless", alphabet, n * 1000 + width, digest(copied) ^ start, copied == expected);
                }
            }
        }
    }
}

void check_newlines(const std::string& text, int alphabet) {
    const NewlineScanner scan;
    for (std::size_t at = 0; at + 64 <= text.size(); at += 64) {
        bool cr = false;
        const std::uint64_t bits = scan(text.data() + at, cr);
        std::uint64_t expected = 0;
        bool expected_cr = false;
        for (std::size_t k = 0; k < 64; ++k) {
            expected |= std::uint64_t{text[at + k] == '\n'} << k;
            expected_cr |= text[at + k] == '\r';
        }
        report("newline_scan", alphabet, at, bits ^ cr, bits == expected && cr == expected_cr);
    }
}

int channel_of(unsigned char byte) {
    switch (byte | 0x20) {
        case 'a': return 0;
        case 'c': return 1;
        case 'g': return 2;
        case 't': return 3;
        default: return -1;
    }
}

// The row as a plain loop makes it: padding 'N', the text, padding 'N',
// reverse complemented when asked, each byte through `element`.
template <class Element>
std::string plain_row(const std::string& text, std::size_t before, std::size_t after, bool rc, std::size_t width,
                      std::size_t planes, Element element) {
    std::string window = std::string(before, 'N') + text + std::string(after, 'N');
    if (rc) {
        window = std::string(window.rbegin(), window.rend());
        for (auto& c : window) c = static_cast<char>(COMPLEMENT_TABLE[static_cast<unsigned char>(c)]);
    }
    std::string row(window.size() * width * planes, '\0');
    for (std::size_t plane = 0; plane < planes; ++plane)
        for (std::size_t k = 0; k < window.size(); ++k)
            element(static_cast<unsigned char>(window[k]), plane, &row[(plane * window.size() + k) * width]);
    return row;
}

void check_encodings(const std::string& text, int alphabet) {
    const std::size_t n = text.size();
    std::array<std::int64_t, 256> by_base{};
    std::array<std::int64_t, 256> any{};
    for (unsigned b = 0; b < 256; ++b) {
        by_base[b] = channel_of(static_cast<unsigned char>(b)) < 0 ? 4 : channel_of(static_cast<unsigned char>(b));
        any[b] = static_cast<std::int64_t>(b * 2654435761u) - 7;
    }
    for (const unsigned width : {1u, 2u, 4u, 8u}) {
        for (const auto* table : {&by_base, &any}) {
            const RowEncoder encoder = RowEncoder::codes(*table, width);
            for (const bool rc : {false, true}) {
                const std::size_t before = rng() % 3, after = rng() % 3;
                std::string row(encoder.row_bytes(before + n + after), '\0');
                encoder.encode(text.data(), n, row.data(), before, after, rc);
                const std::string expected =
                    plain_row(text, before, after, rc, width, 1, [&](unsigned char byte, std::size_t, char* at) {
                        // The low `width` bytes, in native byte order.
                        const std::int64_t value = (*table)[byte];
                        const auto value16 = static_cast<std::int16_t>(value);
                        const auto value32 = static_cast<std::int32_t>(value);
                        const void* low = width == 8   ? static_cast<const void*>(&value)
                                          : width == 4 ? static_cast<const void*>(&value32)
                                          : width == 2 ? static_cast<const void*>(&value16)
                                                       : static_cast<const void*>(&value32);
                        if (width == 1) at[0] = static_cast<char>(value);
                        else std::memcpy(at, low, width);
                    });
                report(table == &by_base ? "codes_by_base" : "codes", alphabet, n * 100 + width * 10 + rc, digest(row),
                       row == expected);
                // In place: the text in the row's last bytes.
                std::memcpy(row.data() + row.size() - n, text.data(), n);
                encoder.encode_in_place(row.data(), before, n, after, rc);
                report(table == &by_base ? "codes_by_base_in_place" : "codes_in_place", alphabet,
                       n * 100 + width * 10 + rc, digest(row), row == expected);
            }
        }
    }
    for (const unsigned width : {1u, 2u, 4u}) {
        for (const bool channels_first : {false, true}) {
            const std::uint32_t zero = 0, one = 0x01010101u * 3, other = 0x01010101u * 9;
            const RowEncoder encoder = RowEncoder::one_hot(width, &zero, &one, &other, channels_first);
            for (const bool rc : {false, true}) {
                const std::size_t before = rng() % 3, after = rng() % 3;
                std::string row(encoder.row_bytes(before + n + after), '\0');
                std::memcpy(row.data() + row.size() - n, text.data(), n);
                encoder.encode_in_place(row.data(), before, n, after, rc);
                const auto element = [&](unsigned char byte, std::size_t plane, char* at) {
                    for (std::size_t channel = 0; channel < 4; ++channel) {
                        if (channels_first && channel != plane) continue;
                        const int hot = channel_of(byte);
                        const std::uint32_t value = hot < 0                                    ? other
                                                    : static_cast<std::size_t>(hot) == channel ? one
                                                                                               : zero;
                        std::memcpy(at + (channels_first ? 0 : channel * width), &value, width);
                    }
                };
                const std::string expected = channels_first ? plain_row(text, before, after, rc, width, 4, element)
                                                            : plain_row(text, before, after, rc, width * 4, 1, element);
                report(channels_first ? "one_hot_planar" : "one_hot", alphabet, n * 100 + width * 10 + rc, digest(row),
                       row == expected);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 200; ++n) lengths.push_back(n);
    for (const std::size_t n : {255, 256, 257, 1000, 4095, 4096, 4097, 65536 + 33}) lengths.push_back(n);
    for (int alphabet = 0; alphabet < 3; ++alphabet) {
        for (const std::size_t n : lengths) {
            const std::string text = random_text(n, alphabet);
            check_sequence(text, alphabet);
            check_encodings(text, alphabet);
            if (n <= 300 && n % 5 == 0) check_lines(text, alphabet);
        }
        // Line breaks among the bytes, for the scan.
        std::string text = random_text(64 * 64, alphabet);
        for (std::size_t k = 0; k < text.size(); k += 1 + rng() % 90) text[k] = rng() % 4 == 0 ? '\r' : '\n';
        check_newlines(text, alphabet);
    }
    const std::string lines = out.str();
    std::cerr << "kernels_check: " << kernel_path_name(kernel_path()) << " path, "
              << std::count(lines.begin(), lines.end(), '\n') << " results, " << wrong << " wrong\n";
    if (argc < 2) {
        std::cout << lines;
        return wrong == 0 ? 0 : 1;
    }
    // Compare with another path's results.
    std::ifstream other_file(argv[1]);
    std::stringstream other;
    other << other_file.rdbuf();
    std::istringstream mine(lines), theirs(other.str());
    std::string a, b;
    int differ = 0;
    for (;;) {
        a.clear();
        b.clear();
        const bool more_mine = static_cast<bool>(std::getline(mine, a));
        const bool more_theirs = static_cast<bool>(std::getline(theirs, b));
        if (!more_mine && !more_theirs) break;
        if (a != b && ++differ <= 10) std::cerr << "differs: " << a << " | " << b << '\n';
    }
    std::cerr << "kernels_check: " << differ << " results differ from " << argv[1] << '\n';
    return wrong == 0 && differ == 0 && !other.str().empty() ? 0 : 1;
}
