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
    PyObject* future;     // null for a call that finished when it was made
    PyObject* iterator;   // the future's __await__ iterator, once awaited
    PyObject* value;      // a finished call's result ...
    PyObject* exception;  // ... or its failure
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

// A finished call's outcome, as awaiting a done future gives it: StopIteration carrying the
// result (made explicitly, so that a tuple stays one value), or the failure raised.
PyObject* finish(AwaitableObject* self) {
    if (self->exception != nullptr) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(self->exception)), self->exception);
        return nullptr;
    }
    PyObject* stop = PyObject_CallFunctionObjArgs(PyExc_StopIteration, self->value, nullptr);
    if (stop == nullptr) return nullptr;
    PyErr_SetObject(PyExc_StopIteration, stop);
    Py_DECREF(stop);
    return nullptr;
}

PyObject* awaitable_await(PyObject* self) {
    return Py_NewRef(self);
}

// Through the iterator's send(), which ends with StopIteration carrying the result (PyIter_Next
// would swallow it).
PyObject* awaitable_send(PyObject* self, PyObject* value) {
    if (as_awaitable(self)->future == nullptr) return finish(as_awaitable(self));
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
    if (as_awaitable(self)->future == nullptr) {
        // Nothing to pass it to: the exception thrown in is raised here.
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        if (!PyArg_UnpackTuple(args, "throw", 1, 3, &type, &value, &traceback)) return nullptr;
        if (PyExceptionInstance_Check(type)) {
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(type)), type);
        } else {
            PyErr_SetObject(type, value);
        }
        return nullptr;
    }
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
    Py_XDECREF(as_awaitable(self)->value);
    Py_XDECREF(as_awaitable(self)->exception);
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

namespace {

PyObject* new_awaitable(PyRef future, PyRef value, PyRef exception) {
    PyObject* type = awaitable_type();
    if (type == nullptr) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(
        PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_alloc));
    PyObject* object = alloc(reinterpret_cast<PyTypeObject*>(type), 0);
    if (object == nullptr) return nullptr;
    AwaitableObject* awaitable = as_awaitable(object);
    awaitable->future = future.release();
    awaitable->iterator = nullptr;
    awaitable->value = value.release();
    awaitable->exception = exception.release();
    return object;
}

}  // namespace

PyObject* awaiting(PyObject* future) {
    if (future == nullptr) return nullptr;
    return new_awaitable(PyRef::steal(future), PyRef(), PyRef());
}

PyObject* awaiting_finished(PyObject* value, PyObject* exception) {
    return new_awaitable(PyRef(), PyRef::steal(value), PyRef::steal(exception));
}

}  // namespace zelto::binding::aio
