// A running part of the reference server: a socket listener, the shared-region poller, the
// hybrid listener. main() starts each service the options ask for and stops them all, newest
// first, when a stop request arrives (platform/server_process.hpp).
#pragma once

#include <expected>
#include <memory>
#include <string>

namespace zelto::server {

class Service {
public:
    virtual ~Service() = default;
    // Stops taking work, wakes and joins the service's threads and removes the files or
    // objects it created. Called once, from the main thread.
    virtual void stop() = 0;
};

// A started service, or the reason it could not start (printed by main, exit status 1).
using StartResult = std::expected<std::unique_ptr<Service>, std::string>;

// Prints one line to stdout and flushes at once, so a parent process waiting for the line
// (tests, the demo) sees it without buffering delays. Safe to call from any thread.
void announce(const std::string& line);

}  // namespace zelto::server
