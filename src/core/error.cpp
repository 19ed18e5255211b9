#include "error.hpp"

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

static const char* display_prefix(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::FastaNotFound: return "FASTA file not found: ";
        case ErrorKind::IndexNotFound: return "Index file not found: ";
        case ErrorKind::Fetch: return "Fetch error: ";
        case ErrorKind::FastaIndexing: return "Indexing error: ";
        case ErrorKind::IO: return "IO error: ";
        case ErrorKind::Region: return "Invalid region: ";
        case ErrorKind::Internal: return "Internal fault: ";
    }
    return "";
}

static const char* python_prefix(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::FastaNotFound: return "FastaNotFoundError: ";
        case ErrorKind::IndexNotFound: return "IndexNotFoundError: ";
        case ErrorKind::Fetch: return "FetchError: ";
        case ErrorKind::FastaIndexing: return "FastaIndexingError: ";
        case ErrorKind::IO: return "IOError: ";
        case ErrorKind::Region: return "RegionError: ";
        case ErrorKind::Internal: return "InternalFault: ";
    }
    return "";
}

std::string FaidxError::display() const { return display_prefix(kind_) + payload_; }

std::string FaidxError::python_message() const { return python_prefix(kind_) + payload_; }

}  // namespace kelpa::core
