#include "listener_service.hpp"

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "platform/nonblocking_socket.hpp"

namespace zelto::server {
namespace {

// What connection threads share with the service. Threads are detached and hold a reference,
// so the state outlives the service if a thread is still finishing its last statements.
struct Connections {
    explicit Connections(ServeConnection s) : serve(std::move(s)) {}

    const ServeConnection serve;
    std::mutex mutex;
    std::condition_variable all_done;
    std::set<platform::StreamHandle>
        open;  // sockets being served, shut down at stop to wake their threads
    size_t running = 0;
    bool stopping = false;
};

class ListenerService final : public Service {
public:
    ListenerService(platform::Listener listener, bool remove_file, ServeConnection serve)
        : listener_(std::move(listener)),
          remove_file_(remove_file),
          connections_(std::make_shared<Connections>(std::move(serve))) {
        accept_thread_ = std::thread([this] { accept_loop(); });
    }

    ~ListenerService() override {
        if (accept_thread_.joinable()) stop();
    }

    void stop() override {
        {
            std::lock_guard lock(connections_->mutex);
            connections_->stopping = true;
            for (platform::StreamHandle stream : connections_->open) {
                platform::shut_down_stream(stream);
            }
        }
        platform::stop_accepting(listener_);
        accept_thread_.join();
        std::unique_lock lock(connections_->mutex);
        connections_->all_done.wait(lock, [&] { return connections_->running == 0; });
        platform::close_listener(listener_, remove_file_);
    }

private:
    void accept_loop() {
        for (;;) {
            auto fd = platform::accept_connection(listener_);
            {
                std::lock_guard lock(connections_->mutex);
                if (connections_->stopping) {
                    if (fd) platform::close_socket(*fd);
                    return;
                }
                if (fd) {
                    connections_->open.insert(*fd);
                    ++connections_->running;
                    std::thread(run_connection, connections_, *fd).detach();
                    continue;
                }
            }
            // Out of descriptors or memory: say so and give the system a moment to recover
            // rather than spinning on the same error.
            std::cerr << "zelto-reference-server: accept failed: " << fd.error().message << "\n";
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    static void run_connection(std::shared_ptr<Connections> connections,
                               platform::StreamHandle stream) {
        {
            Connection connection(stream);
            connections->serve(connection);
            std::lock_guard lock(connections->mutex);
            connections->open.erase(stream);
        }  // closed here, after stop() can no longer shut it down
        std::lock_guard lock(connections->mutex);
        --connections->running;
        connections->all_done.notify_all();
    }

    platform::Listener listener_;
    bool remove_file_;
    std::shared_ptr<Connections> connections_;
    std::thread accept_thread_;
};

}  // namespace

std::unique_ptr<Service> start_listener_service(platform::Listener listener, bool remove_file,
                                                ServeConnection serve) {
    return std::make_unique<ListenerService>(std::move(listener), remove_file, std::move(serve));
}

}  // namespace zelto::server
