// The lines of a text file, or of standard input ("-"), plain or
// gzip-compressed (told apart by the content, not the name).
//
// Lines are views into a window of the input that stays put until refill():
// a command takes lines as long as next() gives them, works on the whole
// window's worth (the views stay valid meanwhile), then refills. Line ends
// ("\n", "\r\n") are not part of a line; a last line without one counts.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelpa::cli {

class LineReader {
public:
    // `what` names the input in messages ("BED file", "region file").
    static std::unique_ptr<LineReader> open(const std::string& path, const std::string& what, std::string& error);
    ~LineReader();

    // Not copyable or movable: the views point into it.
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    enum class Next { Line, Refill, End };
    // Line: `line` is the next line. Refill: the window has no whole line
    // left; call refill() once the lines taken so far are no longer needed.
    // End: the input is finished.
    Next next(std::string_view& line);
    // Drops the lines handed out and reads on. False, with error() set,
    // when reading failed.
    bool refill();

    // 1-based number of the last line next() gave.
    std::size_t line_number() const { return line_number_; }
    const std::string& path() const { return path_; }
    const std::string& error() const { return error_; }

private:
    struct Stream;
    LineReader(std::unique_ptr<Stream> stream, std::string path, std::string what);

    std::unique_ptr<Stream> stream_;
    std::string path_;
    std::string what_;
    std::vector<char> window_;
    std::size_t begin_ = 0;  // first byte not handed out
    std::size_t end_ = 0;    // end of the bytes read
    bool eof_ = false;
    std::size_t line_number_ = 0;
    std::string error_;
};

}  // namespace kelpa::cli
