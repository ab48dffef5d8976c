// Binding of Python call arguments to named parameters, shared by every constructor and method,
// with TypeError texts in the interpreter's own style.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>

#include "binding/py_ref.hpp"

namespace zelto::binding {

struct Parameter {
    const char* name;
    bool required = false;
    bool keyword_only = false;  // keyword-only parameters follow every positional one
    bool default_none = false;  // an explicit None counts as omitted
};

struct Signature {
    const char* callable;  // "ZeltoClient.infer", shown as "ZeltoClient.infer()"
    std::span<const Parameter> parameters;
};

inline constexpr size_t kMaxParameters = 10;

// The arguments of one call, one slot per parameter; a slot is null when the parameter was
// omitted (or given None with a None default).
class BoundArguments {
public:
    PyObject* operator[](size_t index) const { return values_[index].get(); }
    void set(size_t index, PyObject* value) { values_[index] = PyRef::borrow(value); }
    void clear(size_t index) { values_[index] = PyRef(); }
    bool filled(size_t index) const { return static_cast<bool>(values_[index]); }

private:
    std::array<PyRef, kMaxParameters> values_;
};

// Vectorcall form (METH_FASTCALL | METH_KEYWORDS): keyword values follow the positional ones.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArguments& out);

// tp_new form: an argument tuple and an optional keyword dict.
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    BoundArguments& out);

}  // namespace zelto::binding
