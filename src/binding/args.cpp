#include "binding/args.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "binding/compat.hpp"
#include "binding/ref.hpp"

namespace kelpa::py {

namespace {

std::string quoted_names(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) text += " and ";
            else if (i + 1 == names.size()) text += ", and ";
            else text += ", ";
        }
        text.append("'").append(names[i]).append("'");
    }
    return text;
}

// The most arguments `signature` takes by position.
std::size_t most_positional(const Signature& signature) {
    return std::min(signature.positional, signature.names.size());
}

bool too_many_positional(const Signature& signature, Py_ssize_t given) {
    const std::size_t most = most_positional(signature);
    std::string message = signature.full_name;
    if (signature.required == most) {
        message += " takes " + std::to_string(most);
    } else {
        message += " takes from " + std::to_string(signature.required) + " to " + std::to_string(most);
    }
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}

// Places one keyword argument; false with TypeError set when it does not fit.
bool place_keyword(const Signature& signature, PyObject* keyword, PyObject* value, PyObject** out,
                   std::vector<const char*>& positional_only_given) {
    for (std::size_t i = 0; i < signature.names.size(); ++i) {
        if (!PyUnicode_Check(keyword) || !str_equals_utf8(keyword, signature.names[i])) continue;
        if (i < signature.positional_only) {
            positional_only_given.push_back(signature.names[i]);
            return true;
        }
        if (out[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", signature.full_name,
                         signature.names[i]);
            return false;
        }
        out[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", signature.full_name, keyword);
    return false;
}

bool finish_binding(const Signature& signature, PyObject** out, const std::vector<const char*>& positional_only_given) {
    if (!positional_only_given.empty()) {
        const std::string message =
            std::string(signature.full_name) +
            " got some positional-only arguments passed as keyword arguments: " + quoted_names(positional_only_given);
        PyErr_SetString(PyExc_TypeError, message.c_str());
        return false;
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (out[i] == nullptr) missing.push_back(signature.names[i]);
    }
    if (!missing.empty()) {
        const std::string message = std::string(signature.full_name) + " missing " + std::to_string(missing.size()) +
                                    " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": " +
                                    quoted_names(missing);
        PyErr_SetString(PyExc_TypeError, message.c_str());
        return false;
    }
    return true;
}

}  // namespace

bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const std::size_t count = signature.names.size();
    if (static_cast<std::size_t>(nargs) > most_positional(signature)) return too_many_positional(signature, nargs);
    for (std::size_t i = 0; i < count; ++i) out[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) >= signature.required) return true;  // the common call

    std::vector<const char*> positional_only_given;
    if (kwnames != nullptr) {
        const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            if (!place_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out, positional_only_given))
                return false;
        }
    }
    return finish_binding(signature, out, positional_only_given);
}

bool bind(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const std::size_t count = signature.names.size();
    if (static_cast<std::size_t>(nargs) > most_positional(signature)) return too_many_positional(signature, nargs);
    for (std::size_t i = 0; i < count; ++i)
        out[i] = i < static_cast<std::size_t>(nargs) ? PyTuple_GET_ITEM(args, i) : nullptr;

    std::vector<const char*> positional_only_given;
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* keyword;
        PyObject* value;
        while (PyDict_Next(kwargs, &position, &keyword, &value)) {
            if (!place_keyword(signature, keyword, value, out, positional_only_given)) return false;
        }
    }
    return finish_binding(signature, out, positional_only_given);
}

void prefix_argument_error(const char* param) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    Ref original(take_raised_exception());
    Ref text(PyObject_Str(original.get()));
    if (!text) return;
    Ref message(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
    if (!message) return;
    Ref replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return;
    PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
    restore_raised_exception(replacement.release());
}

void raise_cannot_convert(PyObject* value, const char* target) {
    Ref type_name(PyType_GetQualName(Py_TYPE(value)));
    if (!type_name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(), target);
}

std::optional<std::string_view> utf8_of(PyObject* text) {
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) return std::nullopt;
    return std::string_view(data, static_cast<std::size_t>(size));
}

PyObject* exact_str(PyObject* text) {
    if (PyUnicode_CheckExact(text)) return Py_NewRef(text);
    return PyUnicode_FromObject(text);
}

Ref item_snapshot(PyObject* sequence) { return Ref(PySequence_Tuple(sequence)); }

bool replaceable_conversion_error() {
    return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
}

bool convert_text_raw(PyObject* value, std::string_view& out) {
    if (!PyUnicode_Check(value)) {
        raise_cannot_convert(value, "PyString");
        return false;
    }
    const std::optional<std::string_view> bytes = utf8_of(value);
    if (!bytes) return false;
    out = *bytes;
    return true;
}

bool convert_text(PyObject* value, const char* param, std::string_view& out) {
    if (convert_text_raw(value, out)) return true;
    prefix_argument_error(param);
    return false;
}

bool convert_bool(PyObject* value, const char* param, bool& out) {
    if (value == Py_True || value == Py_False) {
        out = value == Py_True;
        return true;
    }
    const char* type_name = Py_TYPE(value)->tp_name;
    if (std::string_view(type_name) == "numpy.bool" || std::string_view(type_name) == "numpy.bool_") {
        const int truth = PyObject_IsTrue(value);
        if (truth < 0) return false;
        out = truth == 1;
        return true;
    }
    raise_cannot_convert(value, "PyBool");
    prefix_argument_error(param);
    return false;
}

bool convert_u64_raw(PyObject* value, std::uint64_t& out) {
    if (PyLong_Check(value)) {
        out = PyLong_AsUnsignedLongLong(value);
        return !(out == static_cast<unsigned long long>(-1) && PyErr_Occurred());
    }
    Ref number(PyNumber_Index(value));
    if (!number) return false;
    out = PyLong_AsUnsignedLongLong(number.get());
    return !(out == static_cast<unsigned long long>(-1) && PyErr_Occurred());
}

bool convert_u64(PyObject* value, const char* param, std::uint64_t& out) {
    if (convert_u64_raw(value, out)) return true;
    prefix_argument_error(param);
    return false;
}

bool convert_optional_text(PyObject* value, const char* param, std::optional<std::string_view>& out) {
    out.reset();
    if (value == nullptr || value == Py_None) return true;
    std::string_view text;
    if (!convert_text(value, param, text)) return false;
    out = text;
    return true;
}

bool convert_optional_bool(PyObject* value, const char* param, std::optional<bool>& out) {
    out.reset();
    if (value == nullptr || value == Py_None) return true;
    bool flag;
    if (!convert_bool(value, param, flag)) return false;
    out = flag;
    return true;
}

bool convert_optional_u64(PyObject* value, const char* param, std::optional<std::uint64_t>& out) {
    out.reset();
    if (value == nullptr || value == Py_None) return true;
    std::uint64_t number;
    if (!convert_u64(value, param, number)) return false;
    out = number;
    return true;
}

}  // namespace kelpa::py
