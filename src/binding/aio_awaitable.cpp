// What the asyncio clients' inference methods return: the call's future behind the coroutine
// protocol (__await__, send, throw, close), so the call can be awaited, given to
// asyncio.create_task (which takes only coroutines) or to gather. The call itself is already
// running; awaiting it is `yield from` the future.
#include "binding/aio_awaitable.hpp"

#include "binding/exceptions.hpp"
#include "binding/instance.hpp"
#include "binding/py_ref.hpp"

namespace zelto::binding::aio {
namespace {

struct AwaitableObject {
    PyObject ob_base;
    PyObject* future;
    PyObject* iterator;  // the future's __await__ iterator, once awaited
};

PyObject* awaitable_type();

AwaitableObject* as_awaitable(PyObject* self) {
    return reinterpret_cast<AwaitableObject*>(self);
}

PyObject* iterator_of(AwaitableObject* self) {
    if (self->iterator == nullptr) {
        PyRef await = PyRef::steal(PyObject_GetAttrString(self->future, "__await__"));
        if (!await) return nullptr;
        self->iterator = PyObject_CallNoArgs(await.get());
    }
    return self->iterator;
}

PyObject* awaitable_await(PyObject* self) {
    return Py_NewRef(self);
}

// Through the iterator's send(), which ends with StopIteration carrying the result (PyIter_Next
// would swallow it).
PyObject* awaitable_send(PyObject* self, PyObject* value) {
    PyObject* iterator = iterator_of(as_awaitable(self));
    if (iterator == nullptr) return nullptr;
    PyRef send = PyRef::steal(PyObject_GetAttrString(iterator, "send"));
    if (!send) return nullptr;
    return PyObject_CallFunctionObjArgs(send.get(), value, nullptr);
}

PyObject* awaitable_next(PyObject* self) {
    return awaitable_send(self, Py_None);
}

PyObject* awaitable_throw(PyObject* self, PyObject* args) {
    PyObject* iterator = iterator_of(as_awaitable(self));
    if (iterator == nullptr) return nullptr;
    PyRef throw_method = PyRef::steal(PyObject_GetAttrString(iterator, "throw"));
    if (!throw_method) return nullptr;
    return PyObject_CallObject(throw_method.get(), args);
}

PyObject* awaitable_close(PyObject* self, PyObject*) {
    (void)self;
    Py_RETURN_NONE;
}

void awaitable_dealloc(PyObject* self) {
    Py_XDECREF(as_awaitable(self)->future);
    Py_XDECREF(as_awaitable(self)->iterator);
    PyTypeObject* type = Py_TYPE(self);
    auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_memory(self);
    Py_DECREF(type);
}

PyMethodDef kMethods[] = {
    {"send", awaitable_send, METH_O, nullptr},
    {"throw", awaitable_throw, METH_VARARGS, nullptr},
    {"close", awaitable_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(awaitable_dealloc)},
    {Py_am_await, reinterpret_cast<void*>(awaitable_await)},
    {Py_tp_iter, reinterpret_cast<void*>(awaitable_await)},
    {Py_tp_iternext, reinterpret_cast<void*>(awaitable_next)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    .name = "zelto_sdk.aio.Call",
    .basicsize = static_cast<int>(sizeof(AwaitableObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = kSlots,
};

PyObject* awaitable_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = create_type(kSpec, "Call");
    return type;
}

}  // namespace

PyObject* awaiting(PyObject* future) {
    if (future == nullptr) return nullptr;
    PyRef owned = PyRef::steal(future);
    PyObject* type = awaitable_type();
    if (type == nullptr) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(
        PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_alloc));
    PyObject* object = alloc(reinterpret_cast<PyTypeObject*>(type), 0);
    if (object == nullptr) return nullptr;
    as_awaitable(object)->future = owned.release();
    as_awaitable(object)->iterator = nullptr;
    return object;
}

}  // namespace zelto::binding::aio
