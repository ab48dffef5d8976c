// A request leaves in one gathering write: the body encoded around the caller's data, and the
// pieces sent back to back. The peer must receive exactly the bytes of the plain encoding.
#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.hpp"
#include "support/stream_pair.hpp"
#include "transport/messages.hpp"

namespace zelto {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes around(const BodyAroundData& body, std::span<const uint8_t> data) {
    Bytes out(body.framing.begin(), body.framing.begin() + static_cast<ptrdiff_t>(body.split));
    out.insert(out.end(), data.begin(), data.end());
    out.insert(out.end(), body.framing.begin() + static_cast<ptrdiff_t>(body.split),
               body.framing.end());
    return out;
}

Bytes pattern(size_t size) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(i * 7 + 3);
    return out;
}

struct FramingCase {
    const char* name;
    size_t data_size;
    bool extras;
    bool session;
    bool token;
};

class RequestAroundData : public testing::TestWithParam<FramingCase> {};

TEST_P(RequestAroundData, SplicesToTheFullEncoding) {
    const FramingCase& c = GetParam();
    const int64_t shape[] = {3, -1, 5};
    const Bytes data = pattern(c.data_size);
    const Bytes mask = pattern(9);
    const int64_t mask_shape[] = {9};
    const NamedTensorView extras[] = {{"mask", TensorView{mask_shape, DType::Uint8, mask}}};
    InferRequestView request{TensorView{shape, DType::Float16, data}, {}, {}, {}};
    if (c.extras) request.additional_inputs = extras;
    if (c.session) request.session_id = "session-1";
    if (c.token) request.api_token = "secret";

    const BodyAroundData body = encode_infer_request_around_data(request);
    EXPECT_EQ(body.framing.size() + data.size(), encoded_size(request));
    EXPECT_EQ(around(body, data), encode_infer_request(request));
}

INSTANTIATE_TEST_SUITE_P(Requests, RequestAroundData,
                         testing::Values(FramingCase{"Empty", 0, false, false, false},
                                         FramingCase{"Small", 64, false, false, false},
                                         FramingCase{"WithEverything", 4096, true, true, true},
                                         FramingCase{"ExtrasOnly", 1, true, false, false}),
                         [](const testing::TestParamInfo<FramingCase>& info) {
                             return info.param.name;
                         });

// Sends the pieces from another thread through a socket whose buffers are small, so the kernel
// takes them in many partial writes, and returns what the reading side received.
Bytes send_through_small_buffers(const std::vector<Bytes>& pieces) {
    auto [sender, receiver] = test_streams::tcp_pair();
    test_streams::shrink_socket_buffers(sender, 4096);
    test_streams::shrink_socket_buffers(receiver, 4096);
    std::vector<std::span<const uint8_t>> spans(pieces.begin(), pieces.end());
    bool sent = false;
    std::thread writer([&] {
        sent = platform::send_all(sender, spans).has_value();
        platform::close_socket(sender);
    });
    Bytes received;
    uint8_t chunk[1000];
    for (;;) {
        auto got = platform::receive_some(receiver, chunk, platform::unbounded_wait());
        if (!got || *got == 0) break;
        received.insert(received.end(), chunk, chunk + *got);
    }
    writer.join();
    platform::close_socket(receiver);
    EXPECT_TRUE(sent);
    return received;
}

TEST(GatheringSend, ManyPiecesArriveInOrderThroughPartialWrites) {
    // More pieces than one system call takes, empty ones among them, large ones split by the
    // kernel at arbitrary points.
    std::vector<Bytes> pieces;
    for (size_t i = 0; i < 21; ++i) pieces.push_back(pattern(i % 4 == 0 ? 0 : i * 3001));
    Bytes expected;
    for (const Bytes& piece : pieces) expected.insert(expected.end(), piece.begin(), piece.end());
    EXPECT_EQ(send_through_small_buffers(pieces), expected);
}

TEST(GatheringSend, NothingToSendSucceeds) {
    EXPECT_TRUE(send_through_small_buffers({{}, {}}).empty());
}

TEST(GatheringSend, ClosedPeerIsAnErrorNotASignal) {
    auto [sender, peer] = test_streams::local_pair();
    platform::close_socket(peer);
    const Bytes piece = pattern(16);
    const std::span<const uint8_t> pieces[] = {piece, piece};
    auto sent = platform::send_all(sender, pieces);
    platform::close_socket(sender);
    ASSERT_FALSE(sent);
    EXPECT_EQ(sent.error().message, test_streams::broken_pipe_text());
}

}  // namespace
}  // namespace zelto
