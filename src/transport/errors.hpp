// Error values that cross the engine's layers. Nothing here throws: every fallible operation
// returns std::expected<T, E> with one of these, and only the binding layer turns them into
// Python exceptions.
#pragma once

#include <cstdint>
#include <string>

namespace zelto {

// Classification of an operating-system error, used to pick the Python OSError subclass.
enum class IoCategory {
    NotFound,
    PermissionDenied,
    ConnectionRefused,
    ConnectionReset,
    ConnectionAborted,
    BrokenPipe,
    AlreadyExists,
    WouldBlock,
    TimedOut,
    Interrupted,
    Other,
};

// An I/O failure: either a system error (text "strerror (os error N)") or one made by the
// library itself ("failed to fill whole buffer", "invalid socket address", ...).
struct IoError {
    IoCategory category = IoCategory::Other;
    std::string message;
    int os_errno = 0;  // 0 when the library made the error itself
};

// The inference-failure vocabulary with fixed display texts.
struct ServerError {
    enum class Kind {
        Backend,
        InvalidInput,
        ModelNotLoaded,
        Overloaded,
        ModelLoad,
        Inference,
        Timeout,
        ResourceExhausted,
        Cancelled,
    };
    Kind kind = Kind::Backend;
    std::string message;     // for ModelLoad: the model name
    std::string underlying;  // display of the underlying error; shown only by ModelLoad

    static ServerError invalid_input(std::string message) {
        return ServerError{Kind::InvalidInput, std::move(message), {}};
    }
    std::string display() const;
};

// The error value of ZeltoClient's configuration and transport.
struct ClientError {
    enum class Kind { Io, Config, InvalidInput, Codec, Server };
    Kind kind = Kind::Io;
    std::string message;
    IoCategory io_category = IoCategory::Other;  // meaningful for Kind::Io only
    // Set for an Io error while a stream request was being written: Python then sees the OSError
    // subclass of io_category (BrokenPipeError, ...) instead of ConnectionError.
    bool raise_by_category = false;

    static ClientError io(IoError e) { return {Kind::Io, std::move(e.message), e.category}; }
    static ClientError stream_write(IoError e) {
        return {Kind::Io, std::move(e.message), e.category, true};
    }
    static ClientError config(std::string m) { return {Kind::Config, std::move(m)}; }
    static ClientError invalid_input(const ServerError& e) { return {Kind::InvalidInput, e.display()}; }
    static ClientError codec(std::string m) { return {Kind::Codec, std::move(m)}; }
    static ClientError server(std::string m) { return {Kind::Server, std::move(m)}; }
};

}  // namespace zelto
