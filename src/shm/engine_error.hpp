// What a shared-memory or hybrid call reports: the Python exception type to raise and its text.
#pragma once

#include <string>

namespace zelto {

struct EngineError {
    enum class Type {
        ValueError,
        RuntimeError,
        TimeoutError,
        ConnectionError,
        SignalRaised,  // a Python signal handler raised; its exception is already set
    };
    Type type = Type::RuntimeError;
    std::string message;
};

}  // namespace zelto
