// How a client object runs its calls, set by its constructor's keyword-only parameters:
// `release_gil` (every class) and `socket_timeout` (the clients that use a socket). A
// StreamIterator runs under the settings of the client that made it.
#pragma once

#include <Python.h>

#include <chrono>
#include <cstddef>
#include <optional>

#include "binding/arguments.hpp"
#include "binding/bytes_output.hpp"
#include "binding/call_gil.hpp"
#include "platform/call_wait.hpp"

namespace zelto::binding {

inline constexpr const char* kReleaseGil = "release_gil";
inline constexpr const char* kSocketTimeout = "socket_timeout";

struct CallSettings {
    bool release_gil = false;  // wait without the interpreter lock
    // Bounds every call (waiting for the object, connect, write, the whole answer; a stream's
    // each frame). None: no bound.
    std::optional<std::chrono::nanoseconds> timeout;
    // Whether a call notes for the debug log what happens at every call (a connection pooled),
    // not only the rare events: the socket client's calls do.
    bool every_call_notes = false;
};

// Converts the parameters of `signature` from `first` on, each a call setting named after its
// parameter (kReleaseGil, kSocketTimeout). Omitted ones keep their defaults. False with the
// exception set when one is refused.
bool convert_call_settings(const Signature& signature, const BoundArguments& bound, size_t first,
                           CallSettings& out);

// One call as it runs: its object's settings and, when they bound a call, the deadline fixed
// when the call began. A call may wait for its object first (in_use.hpp): that wait counts.
struct RunningCall {
    using Clock = platform::CallWait::Clock;

    explicit RunningCall(const CallSettings& settings)
        : settings(settings),
          deadline(settings.timeout
                       ? std::optional(Clock::now() +
                                       std::chrono::ceil<Clock::duration>(*settings.timeout))
                       : std::nullopt) {}

    const CallSettings& settings;
    const std::optional<Clock::time_point> deadline;
};

// Runs one engine call of `call`: `engine_call(wait)` gets the call's wait policy (signal
// checks, deadline) and runs without the interpreter lock when the client asked for that, so it
// must not touch a Python object. Arguments are converted before, results built after, with the
// lock held.
template <class EngineCall>
auto engine_call(const RunningCall& call, EngineCall&& engine_call) {
    CallGil gil(call.settings.release_gil);
    const platform::CallWait wait = gil.wait(call.deadline);
    return gil.released([&] { return std::forward<EngineCall>(engine_call)(wait); });
}

// The same for a call whose engine writes its answer into `output`, whose objects are made with
// the interpreter lock taken back for the moment.
template <class EngineCall>
auto engine_call(const RunningCall& call, BytesSink& output, EngineCall&& engine_call) {
    CallGil gil(call.settings.release_gil);
    const platform::CallWait wait = gil.wait(call.deadline);
    output.make_under(gil);
    return gil.released([&] { return std::forward<EngineCall>(engine_call)(wait); });
}

}  // namespace zelto::binding
