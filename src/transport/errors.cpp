#include "transport/errors.hpp"

namespace zelto {

std::string ServerError::display() const {
    switch (kind) {
        case Kind::Backend:
            return "Backend error: " + message;
        case Kind::InvalidInput:
            return "Invalid input: " + message;
        case Kind::ModelNotLoaded:
            return "Model not loaded";
        case Kind::Overloaded:
            return "System overloaded: " + message;
        case Kind::ModelLoad:
            return "Model load error for " + message + ": " + underlying;
        case Kind::Inference:
            return "Inference error: " + message;
        case Kind::Timeout:
            return "Timeout: " + message;
        case Kind::ResourceExhausted:
            return "Resource exhausted: " + message;
        case Kind::Cancelled:
            return "Cancelled: " + message;
    }
    return message;
}

Error ServerError::error() const {
    return {kind == Kind::InvalidInput ? ErrorKind::InvalidInput : ErrorKind::Server, display()};
}

}  // namespace zelto
