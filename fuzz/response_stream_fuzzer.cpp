// The response-frame reader of a stream, fed through a real socket in fragments.
//
// The first input byte chooses the fragment size (1 to 256 bytes); the rest is what the server
// sends. The recv wrapper below (linked with --wrap=recv) hands the socket the next fragment
// whenever the reader finds it empty and closes the sending side after the last one, so every
// header and payload read meets the same partial reads on every run of an input. What the
// reader yields is compared with a plain parse of the same bytes from memory, read once as it
// is and once with a sink that the data is read into.
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "transport/connection.hpp"
#include "transport/messages.hpp"
#include "transport/socket_client.hpp"

namespace {

// Enough items to walk through several frames without letting one input run for long.
constexpr size_t kMaxItems = 64;

struct Feed {
    int reader = -1;
    int writer = -1;
    std::span<const uint8_t> rest;
    size_t fragment = 1;
};

Feed feed;

// Sends the next fragment if the reader's socket holds nothing unread, or ends the stream when
// nothing is left to send.
void refill(int fd) {
    if (fd != feed.reader || feed.writer < 0) return;
    int unread = 0;
    FUZZ_CHECK(ioctl(fd, FIONREAD, &unread) == 0);
    if (unread > 0) return;
    if (feed.rest.empty()) {
        close(feed.writer);
        feed.writer = -1;
        return;
    }
    const size_t n = std::min(feed.fragment, feed.rest.size());
    FUZZ_CHECK(send(feed.writer, feed.rest.data(), n, MSG_NOSIGNAL) == static_cast<ssize_t>(n));
    feed.rest = feed.rest.subspan(n);
}

// Items own their data: a stream item's view lasts only until the connection's next read.
using Item = std::expected<std::optional<zelto::Tensor>, std::string>;

zelto::Tensor owned(const zelto::DecodedTensor& tensor) {
    return {tensor.shape, tensor.dtype, {tensor.data.begin(), tensor.data.end()}};
}

Item owned(const std::expected<std::optional<zelto::DecodedTensor>, zelto::Error>& item) {
    if (!item) return std::unexpected(item.error().message);
    if (!item->has_value()) return std::nullopt;
    return owned(**item);
}

constexpr const char* kEndOfInput = "failed to fill whole buffer";

// The items the stream holds, parsed from memory, up to and including the first that is not a
// tensor.
std::vector<Item> parse_items(std::span<const uint8_t> stream) {
    std::vector<Item> items;
    while (items.size() < kMaxItems) {
        if (stream.size() < zelto::ResponseHeader::kSize) {
            items.emplace_back(std::unexpected(kEndOfInput));
            break;
        }
        const auto header = zelto::ResponseHeader::decode(stream.data());
        stream = stream.subspan(zelto::ResponseHeader::kSize);
        if (header.payload_size == 0) {
            items.emplace_back(std::nullopt);
            break;
        }
        if (stream.size() < header.payload_size) {
            items.emplace_back(std::unexpected(kEndOfInput));
            break;
        }
        const auto payload = stream.first(header.payload_size);
        stream = stream.subspan(header.payload_size);
        if (header.status == 1) {
            items.emplace_back(std::unexpected(zelto::utf8_lossy(payload)));
            break;
        }
        if (header.status != 2) {
            items.emplace_back(std::nullopt);
            break;
        }
        std::vector<uint8_t> copy(payload.begin(), payload.end());
        auto tensor = zelto::decode_tensor_payload(copy);
        if (!tensor) {
            items.emplace_back(std::unexpected(std::move(tensor.error())));
            break;
        }
        items.emplace_back(owned(*tensor));
    }
    return items;
}

bool same_item(const Item& got, const Item& want) {
    if (got.has_value() != want.has_value()) return false;
    if (!got) return got.error() == want.error();
    if (got->has_value() != want->has_value()) return false;
    if (!got->has_value()) return true;
    const zelto::Tensor& a = **got;
    const zelto::Tensor& b = **want;
    return a.shape == b.shape && a.dtype == b.dtype && a.data == b.data;
}

// Hands out fresh memory for each item's data, remembering where, so that a read item's data
// can be checked to lie there. Memory handed out is not touched by the sink: a lying length
// costs address space only.
struct Sink {
    std::unique_ptr<uint8_t[]> memory;
    size_t size = 0;
    size_t asked = 0;
    zelto::DataSink sink = [this](size_t n) -> std::span<uint8_t> {
        ++asked;
        memory = std::make_unique_for_overwrite<uint8_t[]>(n);
        size = n;
        return {memory.get(), n};
    };
};

// Reads the stream from the start as the fuzzer feeds it, with or without a sink.
std::vector<Item> read_items(std::span<const uint8_t> stream, size_t fragment, bool with_sink) {
    int fds[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
    feed = Feed{fds[0], fds[1], stream, fragment};

    std::vector<Item> got;
    {
        zelto::Connection connection{zelto::platform::StreamHandle(fds[0])};
        Sink sink;
        while (got.size() < kMaxItems) {
            sink.asked = 0;
            auto item = zelto::read_stream_item(connection, zelto::platform::unbounded_wait(),
                                                with_sink ? &sink.sink : nullptr);
            if (with_sink && item && item->has_value()) {
                FUZZ_CHECK(sink.asked == 1 && (*item)->data.data() == sink.memory.get() &&
                           (*item)->data.size() == sink.size);
            }
            got.push_back(owned(item));
            if (!got.back() || !got.back()->has_value()) break;
        }
    }
    if (feed.writer >= 0) close(feed.writer);
    feed = Feed{};
    return got;
}

}  // namespace

extern "C" ssize_t __real_recv(int fd, void* buffer, size_t length, int flags);

extern "C" ssize_t __wrap_recv(int fd, void* buffer, size_t length, int flags) {
    refill(fd);
    return __real_recv(fd, buffer, length, flags);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::span<const uint8_t> stream(data + 1, size - 1);
    const std::vector<Item> want = parse_items(stream);
    for (bool with_sink : {false, true}) {
        const std::vector<Item> got = read_items(stream, size_t{data[0]} + 1, with_sink);
        FUZZ_CHECK(got.size() == want.size());
        for (size_t i = 0; i < got.size(); ++i) FUZZ_CHECK(same_item(got[i], want[i]));
    }
    return 0;
}
