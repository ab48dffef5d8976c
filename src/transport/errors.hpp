// Error values that cross the engine's layers. Nothing here throws: every fallible operation
// returns std::expected<T, E> with one of these, and only the binding layer turns them into
// Python exceptions.
#pragma once

#include <cstdint>
#include <string>

#include "platform/io_error.hpp"

namespace zelto {

// What a call made in one process and used in a child forked from it reports.
inline constexpr const char* kCreatedInOtherProcess =
    "This client was created in another process; create a new one in this process";

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
    // Interrupted: a signal handler raised during a wait, its exception is pending. TimedOut:
    // the call's deadline passed. SinkFailed: the caller could not provide the memory an
    // answer's data was to be read into (its own error, e.g. MemoryError, is pending). These
    // three leave the connection closed, never pooled. Usage: the object cannot serve this call
    // (it was made in another process).
    enum class Kind {
        Io,
        Config,
        InvalidInput,
        Codec,
        Server,
        Interrupted,
        TimedOut,
        Usage,
        SinkFailed
    };
    Kind kind = Kind::Io;
    std::string message;
    IoCategory io_category = IoCategory::Other;  // meaningful for Kind::Io only
    // Set for an Io error while a stream request was being written: Python then sees the OSError
    // subclass of io_category (BrokenPipeError, ...) instead of ConnectionError.
    bool raise_by_category = false;

    static ClientError io(IoError e) { return {io_kind(e), std::move(e.message), e.category}; }
    static ClientError stream_write(IoError e) {
        return {io_kind(e), std::move(e.message), e.category, true};
    }
    static ClientError config(std::string m) { return {Kind::Config, std::move(m)}; }
    static ClientError invalid_input(const ServerError& e) {
        return {Kind::InvalidInput, e.display()};
    }
    static ClientError codec(std::string m) { return {Kind::Codec, std::move(m)}; }
    static ClientError server(std::string m) { return {Kind::Server, std::move(m)}; }
    static ClientError created_in_other_process() { return {Kind::Usage, kCreatedInOtherProcess}; }
    static ClientError sink_failed() {
        return {Kind::SinkFailed, "no memory was provided for the answer's data"};
    }

    bool stopped_waiting() const { return kind == Kind::Interrupted || kind == Kind::TimedOut; }
    // Whether the call gave up in the middle of an exchange by its own choice: the connection
    // may be mid-frame, so it is closed, and the call is not retried.
    bool abandoned_exchange() const { return stopped_waiting() || kind == Kind::SinkFailed; }

private:
    static Kind io_kind(const IoError& e) {
        if (e.interrupted()) return Kind::Interrupted;
        if (e.timed_out()) return Kind::TimedOut;
        return Kind::Io;
    }
};

}  // namespace zelto
