#include "binding/instance.hpp"

#include <string>

#include "binding/exceptions.hpp"
#include "binding/py_ref.hpp"

namespace zelto::binding {

PyObject* create_type(PyType_Spec& spec, const char* class_name) {
    PyObject* type = PyType_FromSpec(&spec);
    if (type != nullptr) return type;

    std::string description = std::string("failed to create type object for ") + class_name;
    PyObject *error_type, *value, *traceback;
    PyErr_Fetch(&error_type, &value, &traceback);
    PyRef cause_type = PyRef::steal(error_type);
    PyRef cause = PyRef::steal(value);
    PyRef cause_traceback = PyRef::steal(traceback);
    if (cause) {
        PyRef text = PyRef::steal(PyObject_Str(cause.get()));
        const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
        if (utf8 != nullptr) description += std::string(": ") + utf8;
        PyErr_Clear();
    }
    raise_internal_failure(description);
    return nullptr;
}

}  // namespace zelto::binding
