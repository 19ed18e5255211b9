// Errors of the index and fetch code, as values.
//
// Native operations never throw for expected failures: they return a
// Result<T>, which holds either a usable value or the FaidxError that says
// why not. Only the Python binding turns a FaidxError into an exception.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace kelpa::core {

enum class ErrorKind : std::uint8_t {
    FastaNotFound,  // payload: the FASTA path exactly as passed
    IndexNotFound,  // payload: the index path in use
    Fetch,          // payload: "Sequence '<name>' not found"
    FastaIndexing,  // payload: "Invalid rlen" / "Invalid offset" / ...
    IO,             // payload: "<strerror> (os error N)" or a message of ours
    Region,         // payload: "Invalid region <name>:<start>-<end> (sequence length: L)"
    Internal,       // payload: what went wrong; a fault of kelpa itself, never of a file or an argument
};

class FaidxError {
public:
    FaidxError(ErrorKind kind, std::string payload) : kind_(kind), payload_(std::move(payload)) {}

    static FaidxError fasta_not_found(std::string path) { return {ErrorKind::FastaNotFound, std::move(path)}; }
    static FaidxError index_not_found(std::string path) { return {ErrorKind::IndexNotFound, std::move(path)}; }
    static FaidxError not_found(std::string_view name);
    static FaidxError indexing(std::string message) { return {ErrorKind::FastaIndexing, std::move(message)}; }
    static FaidxError io(std::string message) { return {ErrorKind::IO, std::move(message)}; }
    // An IOError whose message names the file it concerns, `file`.
    static FaidxError about(std::string file, std::string message) {
        FaidxError error(ErrorKind::IO, std::move(message));
        error.file_ = std::move(file);
        return error;
    }
    // An IOError from an operating-system error number: "<description> (os
    // error N)". `file` names the file it concerns, for callers that say so
    // in their own words (the payload never does).
    static FaidxError os(int errnum, std::string file = {});
    static FaidxError invalid_utf8() { return io("stream did not contain valid UTF-8"); }
    static FaidxError internal(std::string message) { return {ErrorKind::Internal, std::move(message)}; }
    static FaidxError region(std::string_view name, std::uint64_t start, std::uint64_t end, std::uint64_t rlen);

    ErrorKind kind() const { return kind_; }
    const std::string& payload() const { return payload_; }
    // os() errors only: the error number.
    int errnum() const { return errnum_; }
    // The file the error concerns, when known (else empty); the payload
    // names it when names_file() (about()), never for an os() error.
    const std::string& file() const { return file_; }
    bool names_file() const { return errnum_ == 0 && !file_.empty(); }

private:
    ErrorKind kind_;
    std::string payload_;
    int errnum_ = 0;
    std::string file_;
};

// A value or the reason why not. Result<void> carries only the error.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(FaidxError error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const T& value() const& { return std::get<0>(state_); }
    T* operator->() { return &value(); }
    T& operator*() & { return value(); }
    const FaidxError& error() const { return std::get<1>(state_); }
    FaidxError&& take_error() { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, FaidxError> state_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(FaidxError error) : error_(std::move(error)), failed_(true) {}

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const FaidxError& error() const { return error_; }
    FaidxError&& take_error() { return std::move(error_); }

private:
    FaidxError error_{ErrorKind::IO, {}};
    bool failed_ = false;
};

using Status = Result<void>;

// IOError "<name> changed while open: it no longer holds the bytes it had
// when it was opened": a file truncated or rewritten in place, local or remote.
FaidxError changed_while_open_error(const std::string& name);

}  // namespace kelpa::core
