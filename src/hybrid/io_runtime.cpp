#include "hybrid/io_runtime.hpp"

#include <new>
#include <system_error>

#include "platform/cpu.hpp"
#include "platform/os_error.hpp"

namespace zelto::hybrid {
namespace {

thread_local IoRuntime* t_current = nullptr;
thread_local bool t_is_worker = false;

IoError system_error_of(const std::system_error& error) {
    if (error.code().category() == std::system_category() ||
        error.code().category() == std::generic_category()) {
        return platform::os_error(error.code().value());
    }
    return platform::custom_error(IoCategory::Other, error.what());
}

}  // namespace

std::string describe_exception(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::bad_alloc&) {
        return "out of memory";
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown failure";
    }
}

std::expected<std::unique_ptr<IoRuntime>, IoError> IoRuntime::create() {
    std::unique_ptr<IoRuntime> runtime;
    try {
        runtime.reset(new IoRuntime());
        runtime->keep_running_.emplace(runtime->io_.get_executor());
        size_t count = platform::available_processors();
        runtime->workers_.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            runtime->workers_.emplace_back([io = &runtime->io_] {
                t_is_worker = true;
                // Handlers of this system do not throw; should one ever do so, the worker goes
                // on servicing the loop rather than ending the process.
                for (;;) {
                    try {
                        io->run();
                        return;
                    } catch (...) {
                    }
                }
            });
        }
    } catch (const std::system_error& error) {
        // The destructor stops and joins the workers that did start.
        return std::unexpected(system_error_of(error));
    } catch (const std::bad_alloc&) {
        return std::unexpected(platform::os_error(ENOMEM));
    }
    return runtime;
}

IoRuntime::~IoRuntime() {
    keep_running_.reset();
    io_.stop();
    for (auto& worker : workers_) {
        if (worker.joinable()) worker.join();
    }
}

IoRuntime* IoRuntime::current() noexcept {
    return t_current;
}

std::optional<std::string> IoRuntime::refuse_nested() {
    if (t_is_worker) {
        return std::string("cannot wait for an operation on a worker thread of an I/O runtime");
    }
    if (t_current != nullptr) {
        return std::string("cannot wait for an operation while already waiting for one");
    }
    return std::nullopt;
}

void IoRuntime::drive(const bool& done, const platform::CallWait& wait, const StopOperation& stop) {
    // Parks while the operation waits; a completion posted by a worker wakes it.
    auto run_one_for = [this](std::chrono::milliseconds slice) {
        try {
            caller_.run_one_for(slice);
        } catch (...) {
            // The operation's own failures arrive through its completion; anything thrown by
            // the context itself is not the operation's, so keep driving it to its end.
        }
    };
    if (!done && stop) {
        const auto why = platform::wait_in_slices(wait, [&](platform::WaitSlice& slice) {
            run_one_for(slice.length().value_or(platform::kWaitSlice));
            // An operation that ended can no longer be stopped.
            return done ? platform::SliceResult::Done : platform::SliceResult::NotYet;
        });
        if (why) stop(*why);
    }
    // Once the operation was told to stop, or when nothing can stop it, its deadline no longer
    // bounds the slices: it is driven to its end.
    while (!done) run_one_for(platform::kWaitSlice);
}

IoRuntime::Scope::Scope(IoRuntime* runtime) : previous_(t_current) {
    t_current = runtime;
}

IoRuntime::Scope::~Scope() {
    t_current = previous_;
}

}  // namespace zelto::hybrid
