// ZeltoHybridClient: tensors through a shared region, a small control message over a local
// stream socket.
#include <memory>

#include "binding/arguments.hpp"
#include "binding/conversions.hpp"
#include "binding/exceptions.hpp"
#include "binding/instance.hpp"
#include "binding/python_log.hpp"
#include "binding/types.hpp"
#include "hybrid/hybrid_client.hpp"

namespace zelto::binding {
namespace {

using HybridState = std::unique_ptr<hybrid::HybridClient>;
using HybridClientObject = Instance<HybridState>;

constexpr Parameter kConstructorParameters[] = {
    {.name = "shm_name", .required = true},
    {.name = "socket_path", .required = true},
};
constexpr Signature kConstructor{"ZeltoHybridClient.__new__", kConstructorParameters};

constexpr Parameter kInferParameters[] = {
    {.name = "shape", .required = true},
    {.name = "dtype", .required = true},
    {.name = "data", .required = true},
};
constexpr Signature kInfer{"ZeltoHybridClient.infer", kInferParameters};

PyObject* hybrid_client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        BoundArguments bound;
        if (!bind_arguments(kConstructor, args, kwargs, bound)) return nullptr;
        std::string shm_name, socket_path;
        if (!convert_argument("shm_name", [&] { return extract_text(bound[0], shm_name); }) ||
            !convert_argument("socket_path", [&] { return extract_text(bound[1], socket_path); }))
            return nullptr;
        auto client = hybrid::HybridClient::create(shm_name, socket_path, python_info_log());
        if (!client) {
            raise_engine_error(client.error());
            return nullptr;
        }
        return new_instance<HybridState>(type, std::move(*client));
    });
}

PyObject* hybrid_client_infer(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        BoundArguments bound;
        if (!bind_arguments(kInfer, args, nargs, kwnames, bound)) return nullptr;
        HybridClientObject* client =
            receiver<HybridState>(self, hybrid_client_type(), "ZeltoHybridClient");
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

        auto output = client->state->infer(shape, dtype, data);
        if (!output) {
            raise_engine_error(output.error());
            return nullptr;
        }
        return bytes_to_list(*output);
    });
}

PyMethodDef kMethods[] = {
    {"infer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hybrid_client_infer)),
     METH_FASTCALL | METH_KEYWORDS, "infer($self, shape, dtype, data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("ZeltoHybridClient(shm_name, socket_path)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(hybrid_client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<HybridState>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.ZeltoHybridClient", static_cast<int>(sizeof(HybridClientObject)), 0,
                     Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyObject* hybrid_client_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = create_type(kSpec, "ZeltoHybridClient");
    return type;
}

}  // namespace zelto::binding
