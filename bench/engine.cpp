// zelto_sdk's engine without Python: the library's own C++ clients (the ones its Python classes
// call) timed like the floor, through the same commands (see line_driver.hpp).
//
// Set beside the floor and the Python call, it splits what a call costs over the floor into the
// engine's share (framing, checks, the library's waits) and the Python layer's (the method call,
// argument conversion, the result list). The input is the caller's bytes, borrowed as a bytes
// object's are; answers are not copied out of where the engine leaves them.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "hybrid/hybrid_client.hpp"
#include "line_driver.hpp"
#include "shm/shm_client.hpp"
#include "transport/config.hpp"
#include "transport/socket_client.hpp"

namespace {

using bench::Command;
using bench::Failure;

// A socket client whose last answer is kept until the next call, as a Python call keeps it
// until its list is built: the answer's bytes lie in its connection's buffer.
struct SocketEngine {
    explicit SocketEngine(zelto::ClientConfig config) : client(std::move(config)) {}

    std::span<const uint8_t> round_trip(const zelto::InferArguments& arguments) {
        last.reset();  // its connection goes back to the pool for this call
        auto response = client.infer(arguments, zelto::platform::unbounded_wait());
        if (!response) throw Failure(response.error().message);
        last.emplace(std::move(*response));
        return last->output().data;
    }

    zelto::SocketClient client;
    std::optional<zelto::Response> last;
};

std::unique_ptr<SocketEngine> connect_socket(const Command& command) {
    zelto::ConfigArguments arguments;
    if (command.transport == "tcp")
        arguments.endpoint = "tcp://" + command.where;
    else
        arguments.socket_path = command.where;
    auto config = zelto::resolve_client_config(std::move(arguments));
    if (!config) throw Failure(config.error().message);
    return std::make_unique<SocketEngine>(std::move(*config));
}

// An engine result: the answer's bytes, or the engine's error thrown.
std::span<const uint8_t> output_of(
    const std::expected<std::span<const uint8_t>, zelto::Error>& output) {
    if (!output) throw Failure(output.error().message);
    return *output;
}

// The shared-memory client's answer holds the region's exchange turn until it is dropped; the
// benchmark reads the data afterwards, which is safe with no other client on the region.
std::span<const uint8_t> output_of(
    const std::expected<zelto::shm::OutputView, zelto::Error>& output) {
    if (!output) throw Failure(output.error().message);
    return output->data();
}

struct Engines {
    std::map<std::string, std::unique_ptr<SocketEngine>> sockets;
    std::map<std::string, std::unique_ptr<zelto::shm::ShmClient>> shms;
    std::map<std::string, std::unique_ptr<zelto::hybrid::HybridClient>> hybrids;
};

std::string run_command(const Command& command, Engines& engines) {
    const std::vector<int64_t> shape{static_cast<int64_t>(command.size)};
    if (command.kind == "socket") {
        auto& engine = bench::kept_client(engines.sockets, command.transport + " " + command.where,
                                          [&] { return connect_socket(command); });
        zelto::InferArguments arguments;
        arguments.model_id = 1;
        arguments.input.shape = shape;
        arguments.input.dtype = "uint8";
        arguments.input.borrowed = std::span<const uint8_t>(command.data);
        return bench::measure(command, [&] { return engine.round_trip(arguments); });
    }
    if (command.kind == "shm") {
        auto& client = bench::kept_client(engines.shms, command.where, [&] {
            auto opened = zelto::shm::ShmClient::open(command.where);
            if (!opened) throw Failure(opened.error().message);
            return std::make_unique<zelto::shm::ShmClient>(std::move(*opened));
        });
        return bench::measure(command, [&] {
            return output_of(
                client.infer(shape, "uint8", command.data, zelto::platform::unbounded_wait()));
        });
    }
    auto& client = bench::kept_client(engines.hybrids, command.where + " " + command.path, [&] {
        auto created = zelto::hybrid::HybridClient::create(command.where, command.path);
        if (!created) throw Failure(created.error().message);
        return std::move(*created);
    });
    return bench::measure(command, [&] {
        return output_of(
            client.infer(shape, "uint8", command.data, zelto::platform::unbounded_wait()));
    });
}

}  // namespace

int main() {
    Engines engines;
    return bench::serve_lines(
        [&](const Command& command) { return run_command(command, engines); });
}
