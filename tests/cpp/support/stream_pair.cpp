#include "stream_pair.hpp"

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

#include <atomic>
#include <filesystem>
#include <random>

#include "platform/os_error.hpp"

namespace zelto::test_streams {

std::string unique_local_endpoint(std::string_view tag) {
    static const unsigned process = std::random_device{}();
    static std::atomic<int> counter{0};
    const std::string name = "zelto-test-" + std::string(tag) + "-" + std::to_string(process) +
                             "-" + std::to_string(counter++);
    if (platform::kNamedPipes) return "\\\\.\\pipe\\" + name;
    return (std::filesystem::temp_directory_path() / name).string();
}

namespace {

StreamEnds accepted_pair(const platform::Listener& listener, platform::StreamHandle client) {
    StreamEnds ends{client, platform::accept_connection(listener).value()};
    platform::close_listener(listener, true);
    return ends;
}

}  // namespace

StreamEnds local_pair(platform::Blocking blocking) {
    auto listener = platform::listen_local(unique_local_endpoint("pair")).value();
    return accepted_pair(listener, platform::connect_local(listener.where, blocking).value());
}

StreamEnds tcp_pair() {
    auto listener = platform::listen_tcp("127.0.0.1:0").value();
    return accepted_pair(listener, platform::connect_tcp(listener.where).value());
}

void shrink_socket_buffers(platform::StreamHandle socket, int bytes) {
#if defined(_WIN32)
    const auto native = static_cast<SOCKET>(socket.value);
    const auto* value = reinterpret_cast<const char*>(&bytes);
#else
    const auto native = static_cast<int>(socket.value);
    const int* value = &bytes;
#endif
    setsockopt(native, SOL_SOCKET, SO_SNDBUF, value, sizeof bytes);
    setsockopt(native, SOL_SOCKET, SO_RCVBUF, value, sizeof bytes);
}

bool receive_exactly(platform::StreamHandle stream, std::span<uint8_t> into) {
    while (!into.empty()) {
        auto got = platform::receive_some(stream, into, platform::unbounded_wait());
        if (!got || *got == 0) return false;
        into = into.subspan(*got);
    }
    return true;
}

std::string broken_pipe_text() {
    // A write to a pipe whose other end has closed is ERROR_NO_DATA.
    if (platform::kNamedPipes) return platform::os_error(232).message;
    return "Broken pipe (os error 32)";
}

}  // namespace zelto::test_streams
