#include "python/handle.hpp"

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/gil.hpp"
#include "core/bgzf/format.hpp"
#include "core/open/open.hpp"

namespace kelpa::py {

namespace {

struct OpenRequest {
    std::string filename;
    std::optional<std::string> indexname;
    core::FaidxOptions options;
};

bool convert_option(OpenOption option, const char* name, PyObject* value, OpenRequest& request, FaidxHandle& handle) {
    core::FaidxOptions& options = request.options;
    std::optional<std::string_view> text;
    switch (option) {
        case OpenOption::filename: {
            std::string_view path;
            if (!convert_text(value, name, path)) return false;
            request.filename.assign(path);
            return true;
        }
        case OpenOption::indexname:
            if (!convert_optional_text(value, name, text)) return false;
            if (text) request.indexname.emplace(*text);
            return true;
        case OpenOption::default_seq:
            if (!convert_optional_text(value, name, text)) return false;
            if (text) options.default_seq.emplace(*text);
            return true;
        case OpenOption::split_char:
            if (!convert_optional_text(value, name, text)) return false;
            if (text) handle.split_char.emplace(*text);
            return true;
        case OpenOption::duplicate_action: {
            if (value == nullptr) return true;
            std::string_view action;
            if (!convert_text(value, name, action)) return false;
            handle.duplicate_action.assign(action);
            return true;
        }
        case OpenOption::key_function:
        case OpenOption::filt_function: return true;  // any object, kept in the handle's arguments
        case OpenOption::read_ahead: return convert_optional_u64(value, name, handle.read_ahead);
        case OpenOption::as_raw:
        case OpenOption::strict_bounds:
        case OpenOption::sequence_always_upper:
        case OpenOption::rebuild:
        case OpenOption::build_index:
        case OpenOption::one_based_attributes:
        case OpenOption::mutable_file:
        case OpenOption::read_long_names: break;
    }
    if (value == nullptr) return true;  // keeps its default
    bool flag;
    if (!convert_bool(value, name, flag)) return false;
    switch (option) {
        case OpenOption::as_raw: options.as_raw = flag; break;
        case OpenOption::strict_bounds: options.strict_bounds = flag; break;
        case OpenOption::sequence_always_upper: options.sequence_always_upper = flag; break;
        case OpenOption::rebuild: options.rebuild = flag; break;
        case OpenOption::build_index: options.build_index = flag; break;
        case OpenOption::one_based_attributes: options.one_based_attributes = flag; break;
        case OpenOption::mutable_file: options.mutable_file = flag; break;
        default: handle.read_long_names = flag; break;
    }
    return true;
}

}  // namespace

std::unique_ptr<FaidxHandle> open_handle(std::span<const OpenOption> order, std::span<const char* const> names,
                                         PyObject** bound) {
    auto handle = std::make_unique<FaidxHandle>();
    OpenRequest request;
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (!convert_option(order[i], names[i], bound[i], request, *handle)) return nullptr;
    }
    handle->arguments.reset(PyDict_New());
    if (!handle->arguments) return nullptr;
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (bound[i] != nullptr && PyDict_SetItemString(handle->arguments.get(), names[i], bound[i]) < 0)
            return nullptr;
    }
    // Reading or building the index of a large file takes long: other
    // threads run meanwhile. The request is this call's own.
    core::Result<std::unique_ptr<core::Faidx>> opened = [&] {
        ReleasedLock unlocked;
        return core::open_faidx(std::move(request.filename), std::move(request.indexname), std::move(request.options));
    }();
    if (!opened) {
        raise_faidx_error(opened.error());
        return nullptr;
    }
    handle->faidx = std::move(opened.value());
    if (handle->faidx->missing_eof_marker()) warn(core::missing_eof_warning(handle->faidx->filename()));
    return handle;
}

int handle_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    const FaidxHandle* handle = reinterpret_cast<HandleObject*>(self)->handle;
    if (handle != nullptr) {
        if (const int stop = handle->traverse(visit, arg)) return stop;
    }
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int handle_contains(PyObject* self, PyObject* key) noexcept {
    return shielded(-1, [&]() -> int {
        auto* object = reinterpret_cast<HandleObject*>(self);
        ReadAccess access(object->access);
        if (!access.ok()) return -1;
        std::string_view name;
        if (!convert_text(key, "name", name)) return -1;
        return object->handle->faidx->entries().contains(name) ? 1 : 0;
    });
}

int handle_clear(PyObject* self) noexcept {
    FaidxHandle* handle = reinterpret_cast<HandleObject*>(self)->handle;
    if (handle != nullptr) handle->clear();
    return 0;
}

void handle_release(PyObject* self) {
    auto* object = reinterpret_cast<HandleObject*>(self);
    delete object->handle;  // unmaps the file or closes it
    object->handle = nullptr;
}

PyObject* record_name(const core::NameTable& entries, std::size_t i) {
    const std::string& name = entries.name_at(i);
    return PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict");
}

PyObject* record_names(const core::NameTable& entries) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(entries.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        PyObject* name = record_name(entries, i);
        if (name == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name);
    }
    return list.release();
}

}  // namespace kelpa::py
