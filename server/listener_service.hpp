// A listening socket served by a thread per connection, the shape shared by the socket and
// hybrid listeners of the reference server.
#pragma once

#include <functional>
#include <memory>

#include "platform/socket.hpp"
#include "service.hpp"
#include "transport/connection.hpp"

namespace zelto::server {

// Answers one accepted connection until it ends. Runs on the connection's own thread, possibly
// for a while after stop() returned if the connection is in its last statements, so it must
// own (or share) everything it uses.
using ServeConnection = std::function<void(Connection&)>;

// Starts accepting on `listener` at once. stop() shuts down the listener and every open
// connection, waits for the connection threads, closes the listener and, with `remove_file`,
// unlinks the socket file at listener.where.
std::unique_ptr<Service> start_listener_service(platform::Listener listener, bool remove_file,
                                                ServeConnection serve);

}  // namespace zelto::server
