#include "core/base/error.hpp"

#include <cstring>

namespace kelpa::core {

FaidxError FaidxError::not_found(std::string_view name) {
    std::string text;
    text.reserve(name.size() + 24);
    text.append("Sequence '").append(name).append("' not found");
    return {ErrorKind::Fetch, std::move(text)};
}

FaidxError FaidxError::os(int errnum, std::string file) {
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not live in buffer.
    const char* text = strerror_r(errnum, buffer, sizeof buffer);
    std::string message(text);
    message.append(" (os error ").append(std::to_string(errnum)).append(")");
    FaidxError error(ErrorKind::IO, std::move(message));
    error.errnum_ = errnum;
    error.file_ = std::move(file);
    return error;
}

FaidxError FaidxError::region(std::string_view name, std::uint64_t start, std::uint64_t end, std::uint64_t rlen) {
    std::string text = "Invalid region ";
    text.append(name)
        .append(":")
        .append(std::to_string(start))
        .append("-")
        .append(std::to_string(end))
        .append(" (sequence length: ")
        .append(std::to_string(rlen))
        .append(")");
    return {ErrorKind::Region, std::move(text)};
}

FaidxError changed_while_open_error(const std::string& name) {
    return FaidxError::about(name,
                             name + " changed while open: it no longer holds the bytes it had when it was opened");
}

}  // namespace kelpa::core
