#include "python/fetching.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/gil.hpp"
#include "binding/ref.hpp"
#include "core/batch/batch.hpp"
#include "core/kernels/sequence.hpp"
#include "python/sequence_type.hpp"

namespace kelpa::py {

namespace {

using core::FetchPlan;

Ref name_str(PyObject* name_object, std::string_view name) {
    if (name_object != nullptr && PyUnicode_CheckExact(name_object)) return Ref::borrow(name_object);
    return Ref(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict"));
}

// The entry of `name`, or nullptr with the not-found error raised.
const core::IndexEntry* entry_of(const core::Faidx& faidx, std::string_view name) {
    core::Result<const core::IndexEntry*> entry = faidx.lookup(name);
    if (!entry) {
        raise_faidx_error(entry.error());
        return nullptr;
    }
    return entry.value();
}

// Text of `count` bases from `first`, finished (padded, upper-cased) when `finish`.
Ref extracted_text(const core::Faidx& faidx, const core::IndexEntry& entry, std::uint64_t first, std::uint64_t count,
                   bool finish) {
    // The bases are most likely not in the cache: start loading them while
    // the str is made.
    faidx.prefetch(entry, first, count);
    char* data = nullptr;
    const std::uint64_t bound = faidx.extract_bound(entry, first, count);
    Ref text(new_ascii_str(bound, data));
    if (!text) return text;
    // The new str is this thread's alone until it is returned: a large copy
    // fills it with the interpreter lock released.
    core::Result<std::uint64_t> got =
        maybe_unlocked(bound >= RELEASE_LOCK_BYTES, [&] { return faidx.extract(entry, first, count, data); });
    if (!got) {
        raise_faidx_error(got.error());
        return Ref();
    }
    const std::uint64_t written = got.value();
    const core::Finishing finishing = faidx.finishing(finish);
    if (core::finish_in_place(finishing, data, written, count)) return text;
    std::string bytes(data, written);
    text.reset();
    if (core::Status finished = core::finish_copy(finishing, bytes, count); !finished) {
        raise_faidx_error(finished.error());
        return Ref();
    }
    return Ref(str_from_bytes(bytes));
}

Ref empty_str() { return Ref(PyUnicode_New(0, 0)); }

PyObject* planned_sequence(const core::Faidx& faidx, Ref name, const core::IndexEntry& entry, const FetchPlan& plan) {
    if (plan.kind == FetchPlan::Kind::Empty)
        return new_sequence(std::move(name), empty_str(), plan.first, plan.last, false);
    Ref text = extracted_text(faidx, entry, plan.first, plan.count(), true);
    if (!text) return nullptr;
    return new_sequence(std::move(name), std::move(text), faidx.reported_start(plan.first),
                        faidx.reported_end(plan.last), false);
}

// ---- batch argument conversion -------------------------------------------------

// The caller's regions as a snapshot (item_snapshot): they are converted and
// fetched from it, and point into its items' names.
Ref region_items(PyObject* regions, const char* param) {
    if (PyUnicode_Check(regions)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    } else if (!PySequence_Check(regions)) {
        raise_cannot_convert(regions, "Sequence");
    } else {
        return item_snapshot(regions);
    }
    prefix_argument_error(param);
    return Ref();
}

PyObject* region_tuple(PyObject* item, Py_ssize_t length) {
    if (!PyTuple_Check(item)) {
        raise_cannot_convert(item, "PyTuple");
        return nullptr;
    }
    if (PyTuple_GET_SIZE(item) != length) {
        PyErr_Format(PyExc_TypeError, "expected tuple of length %zd, but got tuple of length %zd", length,
                     PyTuple_GET_SIZE(item));
        return nullptr;
    }
    return item;
}

bool convert_regions(PyObject* items, bool with_names, const char* param, RegionList& list) {
    const Py_ssize_t count = PyTuple_GET_SIZE(items);
    PyObject** item = &PyTuple_GET_ITEM(items, 0);
    std::vector<Region>& out = list.regions;
    out.resize(static_cast<std::size_t>(count));
    if (with_names) list.name_objects.resize(static_cast<std::size_t>(count));
    const Py_ssize_t length = with_names ? 3 : 2;
    LockSharing sharing;  // the items are this call's snapshot
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!sharing.tick()) return false;
        // The tuples and their items may lie anywhere in memory: load them
        // a few iterations ahead.
        if (i + 8 < count) __builtin_prefetch(item[i + 8]);
        if (i + 4 < count && PyTuple_CheckExact(item[i + 4]) && PyTuple_GET_SIZE(item[i + 4]) == length) {
            for (Py_ssize_t k = 0; k < length; ++k) __builtin_prefetch(PyTuple_GET_ITEM(item[i + 4], k));
        }
        PyObject* tuple = region_tuple(item[i], length);
        Region& region = out[static_cast<std::size_t>(i)];
        bool ok = tuple != nullptr;
        if (ok && with_names) {
            PyObject* name = PyTuple_GET_ITEM(tuple, 0);
            list.name_objects[static_cast<std::size_t>(i)] = name;
            ok = convert_text_raw(name, region.name);
            // Compared now, while both names are still in the cache.
            region.repeats_name = ok && i > 0 && (name == list.name_objects[i - 1] || region.name == out[i - 1].name);
        }
        ok = ok && convert_u64_raw(PyTuple_GET_ITEM(tuple, length - 2), region.start) &&
             convert_u64_raw(PyTuple_GET_ITEM(tuple, length - 1), region.end);
        if (!ok) {
            prefix_argument_error(param);
            return false;
        }
    }
    return true;
}

// ---- the two batch paths ------------------------------------------------------

// One record for every region (`record`), or each region's own.
struct OneRecord {
    PyObject* object;  // the caller's str
    std::string_view name;
};

// The name object each record's results share in one batch: the first equal
// one the caller gave, so each Sequence refers to one of a few hot objects
// whatever the order of the regions. A small direct-mapped table; a record
// that loses its slot just starts sharing another object.
class SharedNames {
public:
    PyObject* shared(const core::IndexEntry* entry, PyObject* name) {
        Slot& slot = slots_[(reinterpret_cast<std::uintptr_t>(entry) / sizeof(core::IndexEntry)) % SLOTS];
        if (slot.entry != entry) slot = {entry, name};
        return slot.name;
    }

private:
    static constexpr std::size_t SLOTS = 64;
    struct Slot {
        const core::IndexEntry* entry = nullptr;
        PyObject* name = nullptr;
    };
    std::array<Slot, SLOTS> slots_{};
};

// The batch's results as a list of Sequence objects: each text is a str made
// empty before the workers write into it, so no text is copied twice.
class SequenceListSink {
public:
    SequenceListSink(const core::Faidx& faidx, const RegionList& list, const OneRecord* record, bool reverse_complement,
                     core::Executor executor, PyObject* result)
        : faidx_(faidx),
          list_(list),
          record_(record),
          reverse_complement_(reverse_complement),
          executor_(executor),
          result_(result),
          texts_(list.regions.size()) {}

    // Waits for the pool, inflates, or copies a large text, with the
    // interpreter lock released: the workers write only into the reserved
    // strs, which no other thread can reach before the list is returned.
    // A short text on this thread is copied with the lock held.
    template <class Work>
    void wait(Work&& work) {
        if (executor_ == core::Executor::Caller && reserved_ < RELEASE_LOCK_BYTES) {
            work();
            return;
        }
        ReleasedLock unlocked;
        work();
    }

    char* reserve(std::size_t i, std::uint64_t bytes) {
        if (!sharing_.tick()) return nullptr;
        char* out = nullptr;
        reserved_ = bytes;
        texts_[i].reset(new_ascii_str(bytes, out));
        return texts_[i] ? out : nullptr;
    }

    bool accept(std::size_t i, const core::BatchResult& done) {
        if (!sharing_.tick()) return false;
        Ref text;
        std::optional<std::uint64_t> start;
        std::optional<std::uint64_t> end;
        if (done.kind == FetchPlan::Kind::Empty) {
            text = empty_str();
            start = done.first;
            end = done.last;
        } else {
            if (done.in_place) {
                text = std::move(texts_[i]);
            } else {
                texts_[i].reset();
                text.reset(str_from_bytes(done.text));
            }
            start = faidx_.reported_start(done.first);
            end = faidx_.reported_end(done.last);
        }
        if (!text) return false;
        if (reverse_complement_ && start && end) std::swap(start, end);
        Ref name = record_ != nullptr
                       ? name_str(record_->object, record_->name)
                       : name_str(names_.shared(done.entry, list_.name_objects[i]), list_.regions[i].name);
        PyObject* sequence = new_sequence(std::move(name), std::move(text), start, end, reverse_complement_);
        if (sequence == nullptr) return false;
        PyList_SET_ITEM(result_, static_cast<Py_ssize_t>(i), sequence);
        return true;
    }

    void failed(std::size_t i, const core::FaidxError& error) {
        if (PyErr_Occurred()) return;  // raised by the planner, or Ctrl-C during a network wait
        // A fault of ours, not of the region; or on the calling thread, as
        // the region's own fetch raises it.
        if (error.kind() == core::ErrorKind::Internal || executor_ == core::Executor::Caller) {
            raise_core_error(error);
            return;
        }
        std::string message = "Error fetching region " + std::to_string(i);
        if (record_ != nullptr) message.append(" from ").append(record_->name);
        message.append(": ").append(inner_message(error));
        PyErr_SetString(PyExc_RuntimeError, message.c_str());
    }

private:
    const core::Faidx& faidx_;
    const RegionList& list_;
    const OneRecord* record_;
    bool reverse_complement_;
    core::Executor executor_;
    PyObject* result_;  // borrowed: the list being filled
    std::uint64_t reserved_ = 0;  // bytes of the last text reserved
    std::vector<Ref> texts_;
    SharedNames names_;
    LockSharing sharing_;
};

// Below this many regions a batch is a loop of single fetches: each region
// planned by their rules (warnings, IndexError under strict bounds) and
// extracted on this thread before the next. From this many on, the regions
// are planned silently and extracted on the worker pool, and an error names
// the region.
constexpr std::size_t PARALLEL_BATCH_THRESHOLD = 1000;

// An error the planner raised itself: the sink leaves it as it is.
core::FaidxError raised() { return core::FaidxError::internal("a Python exception is set"); }

PyObject* fetch_batch(const core::Faidx& faidx, const RegionList& list, const OneRecord* record,
                      bool reverse_complement) {
    const core::Executor executor =
        list.regions.size() < PARALLEL_BATCH_THRESHOLD ? core::Executor::Caller : core::Executor::Pool;
    Ref result(PyList_New(static_cast<Py_ssize_t>(list.regions.size())));
    if (!result) return nullptr;
    // Other threads run while the list fills (the sink shares the lock): out
    // of the collector's sight until it is complete, so that nothing, not
    // even gc.get_objects(), meets its empty places.
    PyObject_GC_UnTrack(result.get());
    SequenceListSink sink(faidx, list, record, reverse_complement, executor, result.get());
    const core::IndexEntry* entry = record != nullptr ? faidx.entries().find(record->name) : nullptr;
    const std::string_view record_name = record != nullptr ? record->name : std::string_view();
    const core::Finishing finishing = faidx.finishing(true, reverse_complement);
    bool done;
    if (executor == core::Executor::Pool) {
        done = core::run_batch(faidx, list.regions, entry, record_name, finishing, sink);
    } else {
        const auto planner = [&faidx](std::size_t, std::string_view name, const core::IndexEntry& entry,
                                      std::uint64_t start, std::uint64_t end) -> core::Result<FetchPlan> {
            FetchPlan plan = faidx.plan_fetch(name, entry, start, end);
            for (const std::string& warning : plan.warnings) warn(warning);
            if (plan.kind != FetchPlan::Kind::Refused) return plan;
            PyErr_SetString(PyExc_IndexError, plan.message.c_str());
            return raised();
        };
        done = core::run_batch(faidx, list.regions, entry, record_name, finishing, sink, planner, executor);
    }
    if (!done) return nullptr;
    PyObject_GC_Track(result.get());
    return result.release();
}

}  // namespace

bool convert_region_list(PyObject* value, bool with_names, const char* param, RegionList& out) {
    out.items = region_items(value, param);
    if (!out.items) return false;
    return convert_regions(out.items.get(), with_names, param, out);
}

PyObject* fetch_region(const core::Faidx& faidx, PyObject* name_object, std::string_view name, std::uint64_t start,
                       std::uint64_t end) {
    const core::IndexEntry* entry = entry_of(faidx, name);
    if (entry == nullptr) return nullptr;
    const FetchPlan plan = faidx.plan_fetch(name, *entry, start, end);
    for (const std::string& warning : plan.warnings) warn(warning);
    if (plan.kind == FetchPlan::Kind::Refused) {
        PyErr_SetString(PyExc_IndexError, plan.message.c_str());
        return nullptr;
    }
    return planned_sequence(faidx, name_str(name_object, name), *entry, plan);
}

PyObject* fetch_record(const core::Faidx& faidx, PyObject* name_object, std::string_view name) {
    const core::IndexEntry* entry = entry_of(faidx, name);
    if (entry == nullptr) return nullptr;
    Ref text = extracted_text(faidx, *entry, 1, entry->rlen, false);
    if (!text) return nullptr;
    return new_sequence(name_str(name_object, name), std::move(text), faidx.reported_start(1),
                        faidx.reported_end(entry->rlen), false);
}

PyObject* fetch_many(const core::Faidx& faidx, RegionList& list, bool reverse_complement) {
    return fetch_batch(faidx, list, nullptr, reverse_complement);
}

PyObject* fetch_many_same_chr(const core::Faidx& faidx, PyObject* name_object, std::string_view name, RegionList& list,
                              bool reverse_complement) {
    if (list.regions.empty()) return PyList_New(0);
    if (entry_of(faidx, name) == nullptr) return nullptr;
    const OneRecord record{name_object, name};
    return fetch_batch(faidx, list, &record, reverse_complement);
}

}  // namespace kelpa::py
