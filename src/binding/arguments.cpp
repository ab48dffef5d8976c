#include "binding/arguments.hpp"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace zelto::binding {
namespace {

struct Keyword {
    PyObject* name;
    PyObject* value;
};

constexpr size_t kNoParameter = static_cast<size_t>(-1);

std::string plural(size_t count, std::string_view one, std::string_view many) {
    return std::string(count == 1 ? one : many);
}

void raise_too_many_positional(const Signature& signature, size_t accepted, size_t required,
                               size_t given) {
    std::string message = std::string(signature.callable) + "() takes ";
    if (required == accepted)
        message +=
            std::to_string(accepted) + " positional " + plural(accepted, "argument", "arguments");
    else
        message += "from " + std::to_string(required) + " to " + std::to_string(accepted) +
                   " positional arguments";
    message += " but " + std::to_string(given) + " " + plural(given, "was", "were") + " given";
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<const char*>& names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) text += ",";
            text += i + 1 == names.size() ? " and " : " ";
        }
        text += "'";
        text += names[i];
        text += "'";
    }
    return text;
}

void raise_missing(const Signature& signature, const std::vector<const char*>& missing,
                   const char* kind) {
    std::string message = std::string(signature.callable) + "() missing " +
                          std::to_string(missing.size()) + " required " + kind + " " +
                          plural(missing.size(), "argument", "arguments") + ": " +
                          quoted_list(missing);
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

void raise_unexpected_keyword(const Signature& signature, PyObject* name) {
    if (PyUnicode_Check(name))
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     signature.callable, name);
    else
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                     signature.callable, name);
}

size_t find_parameter(const Signature& signature, PyObject* name) {
    if (!PyUnicode_Check(name)) return kNoParameter;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) {  // a name with lone surrogates matches nothing
        PyErr_Clear();
        return kNoParameter;
    }
    std::string_view wanted(text, static_cast<size_t>(size));
    for (size_t i = 0; i < signature.parameters.size(); ++i)
        if (wanted == signature.parameters[i].name) return i;
    return kNoParameter;
}

bool bind(const Signature& signature, std::span<PyObject* const> positional,
          std::span<const Keyword> keywords, BoundArguments& out) {
    const auto& parameters = signature.parameters;
    size_t accepted = 0, required = 0;
    for (const Parameter& p : parameters) {
        if (p.keyword_only) continue;
        ++accepted;
        if (p.required) ++required;
    }
    if (positional.size() > accepted) {
        raise_too_many_positional(signature, accepted, required, positional.size());
        return false;
    }
    for (size_t i = 0; i < positional.size(); ++i) out.set(i, positional[i]);

    for (const Keyword& keyword : keywords) {
        size_t index = find_parameter(signature, keyword.name);
        if (index == kNoParameter) {
            raise_unexpected_keyword(signature, keyword.name);
            return false;
        }
        if (out.filled(index)) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         signature.callable, parameters[index].name);
            return false;
        }
        out.set(index, keyword.value);
    }

    // As the interpreter does: missing positional arguments first, then keyword-only ones.
    for (const bool keyword_only : {false, true}) {
        std::vector<const char*> missing;
        for (size_t i = 0; i < parameters.size(); ++i)
            if (parameters[i].keyword_only == keyword_only && parameters[i].required &&
                !out.filled(i))
                missing.push_back(parameters[i].name);
        if (!missing.empty()) {
            raise_missing(signature, missing, keyword_only ? "keyword-only" : "positional");
            return false;
        }
    }

    for (size_t i = 0; i < parameters.size(); ++i)
        if (parameters[i].default_none && out[i] == Py_None) out.clear(i);
    return true;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArguments& out) {
    std::vector<Keyword> keywords;
    if (kwnames != nullptr) {
        Py_ssize_t count = PyTuple_Size(kwnames);
        if (count < 0) return false;
        keywords.reserve(static_cast<size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i)
            keywords.push_back(Keyword{PyTuple_GetItem(kwnames, i), args[nargs + i]});
    }
    return bind(signature, std::span(args, static_cast<size_t>(nargs)), keywords, out);
}

bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    BoundArguments& out) {
    Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs < 0) return false;
    std::vector<PyObject*> positional;
    positional.reserve(static_cast<size_t>(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) positional.push_back(PyTuple_GetItem(args, i));

    std::vector<Keyword> keywords;
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject *name, *value;
        while (PyDict_Next(kwargs, &position, &name, &value))
            keywords.push_back(Keyword{name, value});
    }
    return bind(signature, positional, keywords, out);
}

}  // namespace zelto::binding
