#include "platform/common/streams.hpp"

#include "platform/common/socket_address.hpp"
#include "platform/nonblocking_socket.hpp"
#include "platform/os_error.hpp"

namespace zelto::platform {

std::expected<size_t, IoError> receive_when_ready(StreamHandle stream, std::span<uint8_t> into,
                                                  const CallWait& wait) {
    for (;;) {
        if (auto ready = wait_until_ready(stream, Readiness::Readable, wait); !ready)
            return std::unexpected(ready.error());
        Attempt attempt = try_receive(stream, into);
        if (attempt.not_ready()) continue;
        if (attempt.error != 0) return std::unexpected(os_error(attempt.error));
        return attempt.bytes;
    }
}

std::expected<void, IoError> send_all(StreamHandle stream, std::span<const uint8_t> bytes,
                                      bool more) {
    while (!bytes.empty()) {
        auto sent = send_some(stream, bytes, more);
        if (!sent) return std::unexpected(sent.error());
        if (*sent == 0) return std::unexpected(library_error("failed to write whole buffer"));
        bytes = bytes.subspan(*sent);
    }
    return {};
}

}  // namespace zelto::platform
