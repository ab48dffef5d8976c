// zelto-reference-server: a stand-in inference server for the demo, the tests and the
// benchmarks. It serves the built-in models (models.hpp) over every transport the clients use.
//
//   zelto-reference-server [--tcp HOST:PORT] [--pipe PATH] ...
//
// Each listener prints "listening on KIND WHERE"; once every service has started the server
// prints "ready". A stop request (SIGINT or SIGTERM; on Windows Ctrl-C, Ctrl-Break, the console
// closing, or the end of standard input when that is a pipe) stops it cleanly (socket files and
// the region removed, exit status 0).
#include <charconv>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hybrid_server.hpp"
#include "models.hpp"
#include "platform/server_process.hpp"
#include "service.hpp"
#include "shm_server.hpp"
#include "socket_server.hpp"

namespace zelto::server {
namespace {

// Every option takes one value. Services started by other parts of the server add a field
// here and a row to kOptions, then start their service in start_services().
struct Options {
    std::optional<std::string> tcp;          // HOST:PORT; port 0 picks a free port
    std::optional<std::string> pipe;         // a socket file path, or \\.\pipe\NAME for /tmp/NAME
    std::optional<std::string> shm;          // region name
    std::optional<std::string> tensor_area;  // bytes of the region's tensor area
    std::optional<std::string> shm_model;    // model for shm requests whose param_code is 0
    std::optional<std::string> hybrid;       // local socket for hybrid control messages
    std::optional<std::string> slow_delay;   // milliseconds model 7 (slow echo) waits
    std::optional<std::string> workers;      // threads answering the region's request queue
};

struct OptionRow {
    std::string_view name;
    std::string_view value_name;
    std::string_view help;
    std::optional<std::string> Options::*field;
};

constexpr OptionRow kOptions[] = {
    {"--tcp", "HOST:PORT", "serve the socket protocol over TCP (port 0: any free port)",
     &Options::tcp},
    {"--pipe", "PATH", "serve the socket protocol on a local stream socket", &Options::pipe},
    {"--shm", "NAME", "create the shared region NAME and serve its queues", &Options::shm},
    {"--tensor-area", "BYTES", "size of the region's tensor area (default 256 MiB)",
     &Options::tensor_area},
    {"--shm-model", "ID", "model for shm requests that name none (default 1, echo)",
     &Options::shm_model},
    {"--hybrid", "PATH", "serve hybrid control messages for the --shm region", &Options::hybrid},
    {"--workers", "N",
     "threads answering shm requests, so up to N run a model at once (default: the processors "
     "available); each hybrid connection has a thread of its own",
     &Options::workers},
    {"--slow-delay-ms", "N", "how long model 7 (slow echo) waits before it answers (default 5)",
     &Options::slow_delay},
};

void print_usage(std::ostream& out) {
    out << "usage: zelto-reference-server [OPTIONS]\n\noptions:\n";
    for (const auto& row : kOptions) {
        std::string left = std::string(row.name) + " " + std::string(row.value_name);
        out << "  " << left << std::string(left.size() < 24 ? 24 - left.size() : 1, ' ') << row.help
            << "\n";
    }
    out << "  --help                  show this text\n";
}

// Returns the options, or an error text for a bad command line.
std::expected<Options, std::string> parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        const OptionRow* match = nullptr;
        for (const auto& row : kOptions) {
            if (arg == row.name) match = &row;
        }
        if (match == nullptr) return std::unexpected("unknown option " + std::string(arg));
        if (i + 1 >= argc) return std::unexpected(std::string(arg) + " needs a value");
        options.*(match->field) = argv[++i];
    }
    return options;
}

// The slow echo delay of --slow-delay-ms: whole milliseconds, 0 to one hour.
std::expected<std::chrono::milliseconds, std::string> slow_echo_delay(const std::string& text) {
    constexpr long kLongest = 3600 * 1000;
    long value = -1;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0 || value > kLongest)
        return std::unexpected("--slow-delay-ms takes 0 to 3600000 milliseconds, not '" + text +
                               "'");
    return std::chrono::milliseconds(value);
}

bool any_service(const Options& options) {
    return options.tcp || options.pipe || options.shm || options.hybrid;
}

// Starts the services in order; on the first failure stops those already running.
std::expected<std::vector<std::unique_ptr<Service>>, std::string> start_services(
    const Options& options) {
    std::vector<std::unique_ptr<Service>> services;
    // Takes a started service, or stops the running ones and reports why this one failed.
    auto keep = [&](StartResult started) -> std::optional<std::string> {
        if (started) {
            services.push_back(std::move(*started));
            return std::nullopt;
        }
        for (auto it = services.rbegin(); it != services.rend(); ++it) (*it)->stop();
        services.clear();
        return started.error();
    };
    if (options.tcp) {
        if (auto failed = keep(start_tcp_service(*options.tcp))) return std::unexpected(*failed);
    }
    if (options.pipe) {
        if (auto failed = keep(start_pipe_service(*options.pipe))) return std::unexpected(*failed);
    }
    std::shared_ptr<ServerRegion> region;  // the shared region, served by --shm
    if (options.shm) {
        auto created = create_server_region(*options.shm, options.tensor_area);
        auto started = created ? start_shm_service(*created, options.shm_model, options.workers)
                               : StartResult(std::unexpected(created.error()));
        if (auto failed = keep(std::move(started))) return std::unexpected(*failed);
        region = *created;
    }
    if (options.hybrid) {
        auto started = region ? start_hybrid_service(region, *options.hybrid, options.shm_model)
                              : StartResult(std::unexpected("--hybrid needs --shm"));
        if (auto failed = keep(std::move(started))) return std::unexpected(*failed);
    }
    return services;
}

int run(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--help") {
            print_usage(std::cout);
            return 0;
        }
    }
    auto options = parse_options(argc, argv);
    if (!options) {
        std::cerr << "zelto-reference-server: " << options.error() << "\n";
        print_usage(std::cerr);
        return 2;
    }
    if (options->slow_delay) {
        auto delay = slow_echo_delay(*options->slow_delay);
        if (!delay) {
            std::cerr << "zelto-reference-server: " << delay.error() << "\n";
            return 2;
        }
        set_slow_echo_delay(*delay);
    }
    if (!any_service(*options)) {
        std::cerr << "zelto-reference-server: nothing to serve\n";
        print_usage(std::cerr);
        return 2;
    }
    // Every request allocates and frees buffers of its payload's size.
    platform::keep_freed_buffers_in_heap();
    platform::catch_stop_requests();
    auto services = start_services(*options);
    if (!services) {
        std::cerr << "zelto-reference-server: " << services.error() << "\n";
        return 1;
    }
    announce("ready");
    platform::wait_for_stop_request();
    for (auto it = services->rbegin(); it != services->rend(); ++it) (*it)->stop();
    return 0;
}

}  // namespace

void announce(const std::string& line) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace zelto::server

int main(int argc, char** argv) {
    try {
        return zelto::server::run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "zelto-reference-server: " << e.what() << "\n";
        return 1;
    }
}
