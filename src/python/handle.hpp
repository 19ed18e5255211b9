// The native Faidx value behind a Faidx or Fasta object, and the sixteen
// constructor options both types accept (in their own positional orders).
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "../core/faidx.hpp"
#include "ref.hpp"

namespace kelpa::py {

enum class OpenOption {
    filename,
    indexname,
    as_raw,
    strict_bounds,
    sequence_always_upper,
    rebuild,
    build_index,
    one_based_attributes,
    default_seq,
    mutable_file,
    key_function,
    split_char,
    filt_function,
    read_long_names,
    duplicate_action,
    read_ahead,
};

// An opened FASTA file plus the options that are accepted and kept but do
// not change what is read.
struct FaidxHandle {
    std::unique_ptr<core::Faidx> faidx;
    Ref key_function;   // never called
    Ref filt_function;  // never called
    std::optional<std::string> split_char;
    std::string duplicate_action = "stop";
    bool read_long_names = false;
    std::optional<std::uint64_t> read_ahead;
};

// Converts the bound constructor arguments (in the caller's parameter order,
// `order[i]` naming what bound[i] is) and opens the FASTA file. nullptr with
// an exception set on failure; nothing is opened unless every argument converts.
std::unique_ptr<FaidxHandle> open_handle(std::span<const OpenOption> order, std::span<const char* const> names,
                                         PyObject** bound);

}  // namespace kelpa::py
