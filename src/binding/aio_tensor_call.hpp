// A call of an asyncio region client (shared memory, hybrid): the tensor it sends and what its
// answer becomes.
#pragma once

#include <memory>

#include "binding/aio_call.hpp"
#include "binding/aio_types.hpp"
#include "binding/engine_client.hpp"
#include "binding/out_buffer.hpp"

namespace zelto::binding::aio {

class TensorCall : public Call {
public:
    // Converts the method's tensor arguments, holds the input object whose bytes the call
    // borrows and, for infer_into, takes the caller's out buffer. False with an exception set.
    bool take(const BoundArguments& bound, OutputKind result_kind) {
        kind = result_kind;
        if (!convert_tensor_arguments(bound, input)) return false;
        data = PyRef::borrow(bound[2]);
        if (kind != OutputKind::Into) return true;
        out = std::make_unique<OutBuffer>();
        return out->take(bound[3]);
    }

    PyRef data;
    TensorArguments input;
    OutputKind kind = OutputKind::Bytes;
    std::unique_ptr<OutBuffer> out;
};

}  // namespace zelto::binding::aio
