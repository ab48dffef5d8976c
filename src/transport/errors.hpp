// The one error value of the engine above the platform: what went wrong, in the engine's own
// terms, and the text the caller sees. Nothing here throws: every fallible operation of
// transport/, shm/ and hybrid/ returns std::expected<T, Error>, and only the binding layer turns
// an Error into a Python exception, by its kind.
//
// It lives here, beside the transport's other basics (tensor, config), because shm/ and hybrid/
// build on those too; it needs nothing but the platform's I/O error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/call_wait.hpp"
#include "platform/io_error.hpp"

namespace zelto {

// What a call made in one process and used in a child forked from it reports.
inline constexpr const char* kCreatedInOtherProcess =
    "This client was created in another process; create a new one in this process";

enum class ErrorKind : uint8_t {
    // A connection could not be opened, or failed during a request's exchange (io_category).
    Io,
    // Writing a stream's request failed; io_category tells how.
    StreamSend,
    // Reading an open stream's next frame failed; the stream itself stays usable.
    StreamRead,
    // The client's configuration (endpoint, protocol, pool size) is refused.
    Config,
    // The caller's input is refused: an unknown element type, too many dimensions.
    InvalidInput,
    // An answer that does not decode, or whose block lies outside the region; a request too large
    // to frame.
    Codec,
    // The server reported a failure; the message is its text.
    Server,
    // The shared region cannot be attached: missing, foreign, of another version, too small.
    SharedMemory,
    // The region's request queue is full, or held back by an earlier producer past the deadline.
    QueueBlocked,
    // No slot of the region's tensor pool is free and large enough for the input, or the
    // system cannot provide the memory of the slot (a full shared-memory file system).
    PoolExhausted,
    // The hybrid exchange on its pipe connection failed: opening, I/O, an answer out of step.
    Exchange,
    // The hybrid client's I/O runtime could not start, or could not run the exchange.
    Runtime,
    // The object cannot serve this call (it was made in another process).
    Usage,
    // A signal handler raised during a wait; its exception is pending in the interpreter.
    Interrupted,
    // The call's deadline passed.
    TimedOut,
    // The caller could not provide the memory an answer's data was to be read into; its own
    // error (e.g. MemoryError) is pending.
    SinkFailed,
};

inline constexpr size_t kErrorKindCount = static_cast<size_t>(ErrorKind::SinkFailed) + 1;

struct Error {
    ErrorKind kind = ErrorKind::Io;
    std::string message;
    IoCategory io_category = IoCategory::Other;  // meaningful for the kinds made from an IoError

    // An I/O failure reported as `kind`, unless it is a stopped wait: then Interrupted or
    // TimedOut.
    static Error from_io(ErrorKind kind, IoError e) {
        if (e.interrupted()) kind = ErrorKind::Interrupted;
        if (e.timed_out()) kind = ErrorKind::TimedOut;
        return {kind, std::move(e.message), e.category};
    }
    static Error io(IoError e) { return from_io(ErrorKind::Io, std::move(e)); }
    // A wait of the call that ended without its result: Interrupted when a signal handler
    // raised, TimedOut ("Request timed out") when the call's deadline passed.
    static Error stopped(platform::WaitStop why) { return io(IoError::stopped(why)); }
    static Error created_in_other_process() { return {ErrorKind::Usage, kCreatedInOtherProcess}; }
    static Error sink_failed() {
        return {ErrorKind::SinkFailed, "no memory was provided for the answer's data"};
    }

    bool stopped_waiting() const {
        return kind == ErrorKind::Interrupted || kind == ErrorKind::TimedOut;
    }
    // Whether the call gave up in the middle of an exchange by its own choice: the connection
    // may be mid-frame, so it is closed, and the call is not retried.
    bool abandoned_exchange() const { return stopped_waiting() || kind == ErrorKind::SinkFailed; }
};

// The server's inference-failure vocabulary with its fixed display texts. It reaches callers as
// an Error: InvalidInput as ErrorKind::InvalidInput, every other kind as ErrorKind::Server.
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
    Error error() const;
};

}  // namespace zelto
