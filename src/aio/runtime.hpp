// The runtime of the asyncio clients: one per process, shared by every client and every event
// loop, with a fixed number of threads however many calls are in flight.
//
// - The I/O thread services `io()`: every transfer of every call waits there (an epoll reactor,
//   or on Windows the I/O completion port) and every call's steps run there, one at a time, so
//   a call's state needs no lock as long as only handlers on `io()` touch it.
// - The shm poller (started when a shared-memory call first needs it) drives every asyncio
//   shared-memory call: a region's answers can only be polled for.
// - The connect thread services `connector()`: opening a connection may block (a TCP connect to
//   a listener whose backlog is full waits for the handshake), so connects run there, each under
//   its call's cancel flag and deadline, and never hold up the transfers of other calls.
//
// Neither thread ever touches a Python object: results reach the event loops through their
// completion queues (completion_queue.hpp).
//
// The runtime is made on first use and never destroyed: calls may be in flight at interpreter
// exit, and its threads must not outlive the objects they use. At exit (atexit) both loops are
// stopped and the I/O thread joined, so nothing runs while static objects are destroyed. A
// process forked from one that had a runtime has none of its threads: it makes a runtime of its
// own, and the parent's is left as it lies (its reactor is shared with the parent).
#pragma once

#include <expected>
#include <memory>
#include <mutex>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include "aio/shm_client.hpp"
#include "transport/errors.hpp"

namespace zelto::aio {

class Runtime {
public:
    // This process's runtime; made on first use. Fails (Runtime) when a thread cannot start.
    static std::expected<Runtime*, Error> get();

    asio::io_context& io() noexcept { return io_; }
    asio::io_context& connector() noexcept { return connector_; }
    // How many exchanges wait on the I/O thread (I/O thread only). One alone may spin for its
    // answer: nothing else needs the thread meanwhile.
    int waiting_exchanges() const noexcept { return waiting_exchanges_; }
    // Counts an exchange waiting on the I/O thread for as long as it lives.
    class Waiting {
    public:
        explicit Waiting(Runtime& runtime) : count_(runtime.waiting_exchanges_) { ++count_; }
        ~Waiting() { --count_; }
        Waiting(const Waiting&) = delete;
        Waiting& operator=(const Waiting&) = delete;

    private:
        int& count_;
    };
    // The thread that drives the shared-memory calls (shm_client.hpp), started on first use;
    // null when it cannot start.
    ShmPoller* shm_poller();

    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

private:
    Runtime() = default;
    ~Runtime() = default;  // never run: the runtime lives as long as the process
    // Starts both threads; false when one cannot start (the other is stopped again).
    bool start();
    // Stops both loops and joins the I/O thread (at exit).
    void stop() noexcept;

    asio::io_context io_{1};
    asio::io_context connector_{1};
    asio::executor_work_guard<asio::io_context::executor_type> keep_io_{io_.get_executor()};
    asio::executor_work_guard<asio::io_context::executor_type> keep_connector_{
        connector_.get_executor()};
    std::thread io_thread_;
    std::thread connect_thread_;
    int waiting_exchanges_ = 0;
    std::mutex poller_mutex_;
    std::unique_ptr<ShmPoller> poller_;
};

}  // namespace zelto::aio
