// The driver shared by the benchmark's C++ clients (floor.cpp and engine.cpp).
//
// A client program is driven through stdin, one command per line, so one process serves a
// whole run and its connections and mappings stay open between commands:
//
//   socket tcp HOST:PORT SIZE ITERATIONS
//   socket unix PATH SIZE ITERATIONS
//   shm NAME SIZE ITERATIONS
//   hybrid NAME PATH SIZE ITERATIONS
//   quit
//
// Each command answers one line: "ok" followed by the duration of every round trip in
// nanoseconds, or "error" and a reason. Requests carry SIZE bytes of uint8 data (byte i is
// i % 251) to model 1 (echo); the last answer of every command is checked against the request.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <iostream>
#include <map>
#include <memory>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline uint64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1'000'000'000ULL + uint64_t(ts.tv_nsec);
}

// One parsed command line. `where` is the socket's address or path, or the region's name;
// `path` is the hybrid control socket.
struct Command {
    std::string kind;       // "socket", "shm" or "hybrid"
    std::string transport;  // "tcp" or "unix" for "socket"
    std::string where;
    std::string path;
    size_t size = 0;
    int iterations = 0;
    std::vector<uint8_t> data;  // the request's bytes
};

inline Command parse_command(const std::string& line) {
    std::istringstream words(line);
    Command command;
    words >> command.kind;
    if (command.kind == "socket")
        words >> command.transport;
    else if (command.kind != "shm" && command.kind != "hybrid")
        throw Failure("unknown command " + command.kind);
    words >> command.where;
    if (command.kind == "hybrid") words >> command.path;
    words >> command.size >> command.iterations;
    if (!words || command.iterations <= 0) throw Failure("malformed command: " + line);
    command.data.resize(command.size);
    for (size_t i = 0; i < command.size; ++i) command.data[i] = static_cast<uint8_t>(i % 251);
    return command;
}

// Times `round_trip()` (which returns a view of the answer's bytes) `iterations` times and
// formats the answer line.
template <class RoundTrip>
std::string measure(const Command& command, RoundTrip&& round_trip) {
    std::span<const uint8_t> output;
    std::vector<uint64_t> samples;
    samples.reserve(static_cast<size_t>(command.iterations));
    for (int i = 0; i < command.iterations; ++i) {
        uint64_t start = now_ns();
        output = round_trip();
        samples.push_back(now_ns() - start);
    }
    if (!std::ranges::equal(output, command.data))
        throw Failure("the answer is not the echo of the request");
    std::string line = "ok";
    for (uint64_t sample : samples) {
        line += ' ';
        line += std::to_string(sample);
    }
    return line;
}

// The client kept under `key` for the next commands, made by `connect()` on first use.
template <class Client, class Connect>
Client& kept_client(std::map<std::string, std::unique_ptr<Client>>& clients, const std::string& key,
                    Connect&& connect) {
    auto& client = clients[key];
    if (!client) client = connect();
    return *client;
}

// Answers command lines from stdin with `run(command)` until "quit" or the end of input.
template <class Run>
int serve_lines(Run&& run) {
    std::ios::sync_with_stdio(false);
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "quit") break;
        if (line.empty()) continue;
        std::string answer;
        try {
            answer = run(parse_command(line));
        } catch (const std::exception& error) {
            answer = std::string("error ") + error.what();
        }
        std::cout << answer << "\n" << std::flush;
    }
    return 0;
}

}  // namespace bench
