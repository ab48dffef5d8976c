// ZeltoShmClient: inference entirely through a shared-memory region created by the server.
#include "binding/arguments.hpp"
#include "binding/conversions.hpp"
#include "binding/exceptions.hpp"
#include "binding/instance.hpp"
#include "binding/python_log.hpp"
#include "binding/types.hpp"
#include "shm/shm_client.hpp"

namespace zelto::binding {
namespace {

using ShmClientObject = Instance<shm::ShmClient>;

constexpr Parameter kConstructorParameters[] = {{.name = "shm_name", .required = true}};
constexpr Signature kConstructor{"ZeltoShmClient.__new__", kConstructorParameters};

constexpr Parameter kInferParameters[] = {
    {.name = "shape", .required = true},
    {.name = "dtype", .required = true},
    {.name = "data", .required = true},
};
constexpr Signature kInfer{"ZeltoShmClient.infer", kInferParameters};

PyObject* shm_client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        BoundArguments bound;
        if (!bind_arguments(kConstructor, args, kwargs, bound)) return nullptr;
        std::string name;
        if (!convert_argument("shm_name", [&] { return extract_text(bound[0], name); }))
            return nullptr;
        auto client = shm::ShmClient::open(name, python_info_log());
        if (!client) {
            raise_engine_error(client.error());
            return nullptr;
        }
        return new_instance<shm::ShmClient>(type, std::move(*client));
    });
}

PyObject* shm_client_infer(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        BoundArguments bound;
        if (!bind_arguments(kInfer, args, nargs, kwnames, bound)) return nullptr;
        ShmClientObject* client =
            receiver<shm::ShmClient>(self, shm_client_type(), "ZeltoShmClient");
        if (client == nullptr) return nullptr;
        Use use(client->in_use, Use::Mode::Exclusive);
        if (!use.ok()) return nullptr;

        std::vector<int64_t> shape;
        std::string dtype;
        std::vector<uint8_t> converted;
        std::span<const uint8_t> data;  // the caller's bytes object, or `converted`
        if (!convert_argument("shape", [&] { return extract_shape(bound[0], shape); }) ||
            !convert_argument("dtype", [&] { return extract_text(bound[1], dtype); }) ||
            !convert_argument("data",
                              [&] { return extract_data_view(bound[2], converted, data); }))
            return nullptr;

        // One signal check per poll round lets Ctrl-C interrupt the wait; the handler's
        // exception stays set and ends the call.
        auto output =
            client->state.infer(shape, dtype, data, [] { return PyErr_CheckSignals() == 0; });
        if (!output) {
            raise_engine_error(output.error());
            return nullptr;
        }
        return bytes_to_list(*output);
    });
}

PyMethodDef kMethods[] = {
    {"infer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(shm_client_infer)),
     METH_FASTCALL | METH_KEYWORDS, "infer($self, shape, dtype, data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("ZeltoShmClient(shm_name)\n--\n\nCPython wrapper for shared memory client")},
    {Py_tp_new, reinterpret_cast<void*>(shm_client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<shm::ShmClient>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.ZeltoShmClient", static_cast<int>(sizeof(ShmClientObject)), 0,
                     Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyObject* shm_client_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = create_type(kSpec, "ZeltoShmClient");
    return type;
}

}  // namespace zelto::binding
