#include "fetching.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "../core/batch.hpp"
#include "../core/sequence.hpp"
#include "args.hpp"
#include "errors.hpp"
#include "ref.hpp"
#include "sequence_type.hpp"

namespace kelpa::py {

namespace {

using core::FetchPlan;

Ref name_str(PyObject* name_object, std::string_view name) {
    if (name_object != nullptr && PyUnicode_CheckExact(name_object)) return Ref::borrow(name_object);
    return Ref(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict"));
}

void raise_invalid_utf8() { raise_faidx_error(core::FaidxError::invalid_utf8()); }

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
    Ref text(new_ascii_str(faidx.extract_bound(entry, first, count), data));
    if (!text) return text;
    core::Result<std::uint64_t> got = faidx.extract(entry, first, count, data);
    if (!got) {
        raise_faidx_error(got.error());
        return Ref();
    }
    const std::uint64_t written = got.value();
    const bool upper = faidx.options().sequence_always_upper;
    if (written == count && core::is_ascii(data, written)) {
        if (upper) core::to_upper_ascii(data, written);
        return text;
    }
    std::string bytes(data, written);
    text.reset();
    if (finish) faidx.finish_text(bytes, count);
    else if (upper) core::to_upper_ascii(bytes.data(), bytes.size());
    if (!core::is_valid_utf8(bytes.data(), bytes.size())) {
        raise_invalid_utf8();
        return Ref();
    }
    return Ref(str_from_bytes(bytes));
}

Ref empty_str() { return Ref(PyUnicode_New(0, 0)); }

PyObject* planned_sequence(const core::Faidx& faidx, Ref name, const core::IndexEntry& entry, const FetchPlan& plan) {
    if (plan.kind == FetchPlan::Kind::Empty) return new_sequence(std::move(name), empty_str(), plan.first, plan.last, false);
    Ref text = extracted_text(faidx, entry, plan.first, plan.count(), true);
    if (!text) return nullptr;
    return new_sequence(std::move(name), std::move(text), faidx.reported_start(plan.first),
                        faidx.reported_end(plan.last), false);
}

// ---- batch argument conversion -------------------------------------------------

// A snapshot of the caller's sequence, as a tuple that holds every item: a
// coordinate's __index__ (or a finalizer run by the collector) may empty or
// refill the caller's list while the regions are converted and fetched, and
// the regions point into the items' names.
Ref region_items(PyObject* regions, const char* param) {
    if (PyUnicode_Check(regions)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    } else if (!PySequence_Check(regions)) {
        raise_cannot_convert(regions, "Sequence");
    } else {
        return Ref(PySequence_Tuple(regions));
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

bool convert_regions(PyObject* items, bool with_names, const char* param, std::vector<Region>& out) {
    const Py_ssize_t count = PyTuple_GET_SIZE(items);
    PyObject** item = &PyTuple_GET_ITEM(items, 0);
    out.resize(static_cast<std::size_t>(count));
    const Py_ssize_t length = with_names ? 3 : 2;
    for (Py_ssize_t i = 0; i < count; ++i) {
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
            region.name_object = PyTuple_GET_ITEM(tuple, 0);
            ok = convert_text_raw(region.name_object, region.name);
            // Compared now, while both names are still in the cache.
            region.repeats_name = ok && i > 0 &&
                                  (region.name_object == out[i - 1].name_object || region.name == out[i - 1].name);
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

PyObject* reverse_complemented(PyObject* sequence) {
    Ref forward(sequence);
    if (!forward) return nullptr;
    return sequence_reverse_complement(forward.get());
}

PyObject* fetch_sequentially(const core::Faidx& faidx, const std::vector<Region>& regions, bool reverse_complement) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(regions.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const Region& region = regions[i];
        PyObject* sequence = fetch_region(faidx, region.name_object, region.name, region.start, region.end);
        if (reverse_complement) sequence = reverse_complemented(sequence);
        if (sequence == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), sequence);
    }
    return list.release();
}

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

struct ParallelItem {
    PyObject* name = nullptr;  // borrowed: an equal name object of the caller's
    FetchPlan::Kind kind = FetchPlan::Kind::Empty;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    Ref text;
};

// The record of a batch on one record: its name as the caller's str and as text.
struct OneRecord {
    PyObject* object;
    std::string_view name;
};

// With `record`, every region is on that record and its name fields are unset.
PyObject* fetch_in_parallel(const core::Faidx& faidx, const std::vector<Region>& regions, const OneRecord* record,
                            bool reverse_complement) {
    const std::size_t count = regions.size();
    std::vector<core::BatchSlot> slots(count);
    std::vector<ParallelItem> items(count);
    // Declared after what the workers write into, so it finishes first on
    // every way out.
    core::BatchExtraction extraction(faidx, slots, reverse_complement);

    // Plan every region and reserve its text here, handing the planned ones
    // to the workers as we go; they only copy bytes. A region named as the
    // one before shares its entry.
    constexpr std::size_t PUBLISH_EVERY = 64;
    constexpr std::size_t LOOKAHEAD = 8;
    SharedNames names;
    const core::IndexEntry* entry = nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        const Region& region = regions[i];
        const std::string_view name = record != nullptr ? record->name : region.name;
        core::BatchSlot& slot = slots[i];
        if (i % PUBLISH_EVERY == 0) extraction.publish(i);
        if (record == nullptr && i + LOOKAHEAD < count && !regions[i + LOOKAHEAD].repeats_name) {
            __builtin_prefetch(regions[i + LOOKAHEAD].name.data());
        }
        if (i == 0 || (record == nullptr && !region.repeats_name)) entry = faidx.entries().find(name);
        // A failure here is the lowest one the workers have not found below
        // it: nothing after it is needed.
        if (entry == nullptr) {
            slot.error = std::make_unique<core::FaidxError>(core::FaidxError::not_found(name));
            slot.state = core::BatchSlot::State::Failed;
            break;
        }
        core::Result<FetchPlan> plan = faidx.plan_worker(name, *entry, region.start, region.end);
        if (!plan) {
            slot.error = std::make_unique<core::FaidxError>(plan.take_error());
            slot.state = core::BatchSlot::State::Failed;
            break;
        }
        ParallelItem& item = items[i];
        item.name = record != nullptr ? record->object : names.shared(entry, region.name_object);
        item.kind = plan->kind;
        item.first = plan->first;
        item.last = plan->last;
        if (item.kind != FetchPlan::Kind::Extract) continue;
        slot.entry = entry;
        slot.first = item.first;
        slot.count = plan->count();
        slot.bound = faidx.extract_bound(*entry, slot.first, slot.count);
        item.text.reset(new_ascii_str(slot.bound, slot.out));
        if (!item.text) return nullptr;
        slot.state = core::BatchSlot::State::Pending;
    }
    extraction.finish();

    Ref list(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        core::BatchSlot& slot = slots[i];
        ParallelItem& item = items[i];
        Ref text;
        if (slot.state == core::BatchSlot::State::Unfinished) {
            std::string bytes(slot.out, slot.written);
            item.text.reset();
            faidx.finish_text(bytes, slot.count);
            if (core::is_valid_utf8(bytes.data(), bytes.size())) {
                if (reverse_complement) core::reverse_complement_in_place(bytes.data(), bytes.size());
                text.reset(str_from_bytes(bytes));
                if (!text) return nullptr;
                slot.state = core::BatchSlot::State::Complete;
            } else {
                slot.error = std::make_unique<core::FaidxError>(core::FaidxError::invalid_utf8());
                slot.state = core::BatchSlot::State::Failed;
            }
        }
        if (slot.state == core::BatchSlot::State::Failed) {
            std::string message = "Error fetching region " + std::to_string(i);
            if (record != nullptr) message.append(" from ").append(record->name);
            message.append(": ").append(slot.error->display());
            PyErr_SetString(PyExc_RuntimeError, message.c_str());
            return nullptr;
        }
        std::optional<std::uint64_t> start;
        std::optional<std::uint64_t> end;
        if (item.kind == FetchPlan::Kind::Empty) {
            text = empty_str();
            start = item.first;
            end = item.last;
        } else {
            if (!text) text = std::move(item.text);
            start = faidx.reported_start(item.first);
            end = faidx.reported_end(item.last);
        }
        if (reverse_complement && start && end) std::swap(start, end);
        PyObject* sequence = new_sequence(name_str(item.name, record != nullptr ? record->name : regions[i].name),
                                          std::move(text), start, end,
                                          reverse_complement);
        if (sequence == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), sequence);
    }
    return list.release();
}

}  // namespace

bool convert_region_list(PyObject* value, bool with_names, const char* param, RegionList& out) {
    out.items = region_items(value, param);
    if (!out.items) return false;
    return convert_regions(out.items.get(), with_names, param, out.regions);
}

PyObject* fetch_region(const core::Faidx& faidx, PyObject* name_object, std::string_view name, std::uint64_t start,
                       std::uint64_t end) {
    const core::IndexEntry* entry = entry_of(faidx, name);
    if (entry == nullptr) return nullptr;
    const FetchPlan plan = faidx.plan_fetch(name, *entry, start, end);
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
    if (list.regions.size() < core::PARALLEL_BATCH_THRESHOLD) return fetch_sequentially(faidx, list.regions, reverse_complement);
    return fetch_in_parallel(faidx, list.regions, nullptr, reverse_complement);
}

PyObject* fetch_many_same_chr(const core::Faidx& faidx, PyObject* name_object, std::string_view name,
                              RegionList& list, bool reverse_complement) {
    std::vector<Region>& regions = list.regions;
    if (regions.empty()) return PyList_New(0);
    if (entry_of(faidx, name) == nullptr) return nullptr;
    if (regions.size() >= core::PARALLEL_BATCH_THRESHOLD) {
        const OneRecord record{name_object, name};
        return fetch_in_parallel(faidx, regions, &record, reverse_complement);
    }
    for (Region& region : regions) {
        region.name_object = name_object;
        region.name = name;
    }
    return fetch_sequentially(faidx, regions, reverse_complement);
}

}  // namespace kelpa::py
