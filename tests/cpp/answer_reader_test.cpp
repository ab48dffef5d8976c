// The answer reader fed from memory: how the bytes are cut into receives changes nothing it
// yields, a tensor's data is received straight into the sink's memory, and a peer's announced
// length costs no memory before its bytes come.
#include "transport/answer_reader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "byte_helpers.hpp"

namespace zelto {
namespace {

using test_bytes::Bytes;
using test_bytes::bytes_of;
using test_bytes::concat;
using test_bytes::u64_le;
using Frame = AnswerReader::Frame;

Bytes header(uint32_t status, uint64_t payload_size) {
    auto bytes = ResponseHeader{status, static_cast<uint32_t>(payload_size)}.encode();
    return Bytes(bytes.begin(), bytes.end());
}

Bytes frame(uint32_t status, const Bytes& payload) {
    return concat({header(status, payload.size()), payload});
}

Bytes pattern(size_t n) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return out;
}

Bytes tensor(Bytes data) {
    return encode_tensor_payload(
        TensorPayload{{static_cast<int64_t>(data.size())}, "uint8", std::move(data), std::nullopt});
}

// Fresh memory for each frame's data, untouched by the sink.
struct Sink {
    std::unique_ptr<uint8_t[]> memory;
    size_t size = 0;
    int asked = 0;
    DataSink sink = [this](size_t n) -> std::span<uint8_t> {
        ++asked;
        memory = std::make_unique_for_overwrite<uint8_t[]>(n);
        size = n;
        return {memory.get(), n};
    };
    bool holds(std::span<const uint8_t> bytes) const {
        return bytes.empty() ||
               (bytes.data() >= memory.get() && bytes.data() + bytes.size() <= memory.get() + size);
    }
};

// How the input is cut into receives.
enum class Cut { Whole, ByteByByte, ByteByByteMovingTheReader };

// Feeds `input` to `reader` as receives cut by `cut`, then the end of the stream.
class Feed {
public:
    Feed(std::span<const uint8_t> input, Cut cut) : rest_(input), cut_(cut) {}

    FrameResult read(AnswerReader& reader, Sink* sink = nullptr) {
        while (!reader.done()) {
            std::span<uint8_t> into = reader.next_buffer();
            EXPECT_FALSE(into.empty());
            largest_buffer = std::max(largest_buffer, into.size());
            size_t n = std::min(into.size(), rest_.size());
            if (cut_ != Cut::Whole) n = std::min<size_t>(n, 1);
            std::memcpy(into.data(), rest_.data(), n);
            rest_ = rest_.subspan(n);
            if (sink != nullptr && sink->holds(into.first(n))) into_sink += n;
            reader.commit(n);
            if (cut_ == Cut::ByteByByteMovingTheReader) {
                AnswerReader moved = std::move(reader);
                reader = std::move(moved);
            }
        }
        return reader.take_result();
    }

    size_t largest_buffer = 0;
    size_t into_sink = 0;  // bytes received straight into the sink's memory

private:
    std::span<const uint8_t> rest_;
    Cut cut_;
};

// What a frame gave, with the data copied out of wherever it lay.
std::string describe(const FrameResult& result) {
    if (!result) {
        return "error " + std::to_string(static_cast<int>(result.error().kind)) + " " +
               result.error().message;
    }
    if (!result->has_value()) return "end";
    const DecodedTensor& t = **result;
    std::string out = "tensor " + std::string(canonical_name(t.dtype)) + " [";
    for (int64_t d : t.shape) out += std::to_string(d) + ",";
    return out + "] " + std::string(t.data.begin(), t.data.end());
}

// Reads frames of `kind` until one is not a tensor (at most 8).
std::vector<std::string> read_all(Frame kind, const Bytes& input, Cut cut, bool with_sink) {
    AnswerReader reader;
    Feed feed(input, cut);
    Sink sink;
    std::vector<std::string> got;
    for (int i = 0; i < 8; ++i) {
        reader.begin(kind, with_sink ? &sink.sink : nullptr);
        FrameResult result = feed.read(reader, &sink);
        if (with_sink && result && result->has_value()) {
            EXPECT_TRUE(sink.holds((*result)->data) && (*result)->data.size() == sink.size);
        }
        got.push_back(describe(result));
        if (!result || !result->has_value()) break;
    }
    return got;
}

struct Stream {
    const char* name;
    Frame kind;
    Bytes input;
    size_t frames;  // how many frames it holds, the last one not a tensor
};

class AnswerReaderCuts : public ::testing::TestWithParam<std::tuple<Stream, bool>> {};

TEST_P(AnswerReaderCuts, EveryCutYieldsWhatTheWholeInputYields) {
    const auto& [stream, with_sink] = GetParam();
    const auto whole = read_all(stream.kind, stream.input, Cut::Whole, with_sink);
    EXPECT_EQ(whole.size(), stream.frames);
    EXPECT_EQ(read_all(stream.kind, stream.input, Cut::ByteByByte, with_sink), whole);
    EXPECT_EQ(read_all(stream.kind, stream.input, Cut::ByteByByteMovingTheReader, with_sink),
              whole);
    // Without a sink the same frames decode the same, whatever memory the data lies in.
    EXPECT_EQ(read_all(stream.kind, stream.input, Cut::Whole, !with_sink), whole);
}

const Bytes kBase64 = encode_tensor_payload(TensorPayload{{2}, "u8", std::nullopt, "AQI="});

INSTANTIATE_TEST_SUITE_P(
    Streams, AnswerReaderCuts,
    ::testing::Combine(
        ::testing::Values(
            Stream{"Answers", Frame::Answer,
                   concat({frame(0, tensor({1, 2, 3})), frame(0, tensor(pattern(70001))),
                           frame(0, kBase64), frame(0, tensor({})), frame(3, bytes_of("no\xff"))}),
                   5},
            Stream{"UndecodableAnswer", Frame::Answer,
                   concat({frame(0, concat({u64_le(uint64_t{1} << 60), u64_le(3)})),
                           frame(0, tensor({9}))}),
                   1},
            Stream{"StreamItems", Frame::StreamItem,
                   concat({frame(2, tensor({4})), frame(2, tensor(pattern(5000))),
                           frame(2, kBase64), frame(1, bytes_of("boom"))}),
                   4},
            Stream{"StreamEnds", Frame::StreamItem,
                   concat({frame(2, tensor({4})), frame(0, {}), frame(2, tensor({5}))}), 2},
            Stream{"OtherStatusEndsTheStream", Frame::StreamItem,
                   concat({frame(7, tensor({4})), frame(2, tensor({5}))}), 1}),
        ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) ? "IntoSink" : "");
    });

// A large tensor's data is received in place in the sink's memory: only what came with the
// header and the fields before the data is copied there from the read-ahead buffer.
TEST(AnswerReaderSink, LargeDataIsReceivedStraightIntoTheSinksMemory) {
    const Bytes data = pattern(size_t{1} << 20);
    const Bytes input = frame(0, tensor(data));
    AnswerReader reader;
    Sink sink;
    reader.begin(Frame::Answer, &sink.sink);
    Feed feed(input, Cut::Whole);
    FrameResult result = feed.read(reader, &sink);
    ASSERT_TRUE(result && result->has_value());
    EXPECT_EQ((*result)->data.data(), sink.memory.get());
    EXPECT_TRUE(std::ranges::equal((*result)->data, data));
    EXPECT_EQ(sink.asked, 1);
    EXPECT_GE(feed.into_sink, data.size() - ReceiveBuffer::kReadAhead);
}

// The stream ending anywhere inside a frame fails that frame with the read's text, as an I/O
// failure of an answer or a failed read of a stream.
TEST(AnswerReaderEnd, EndOfStreamInsideAFrameFailsIt) {
    for (Frame kind : {Frame::Answer, Frame::StreamItem}) {
        const Bytes input = frame(kind == Frame::Answer ? 0 : 2, tensor({1, 2, 3}));
        for (bool with_sink : {false, true}) {
            for (size_t cut = 0; cut < input.size(); ++cut) {
                AnswerReader reader;
                Sink sink;
                reader.begin(kind, with_sink ? &sink.sink : nullptr);
                Feed feed(std::span<const uint8_t>(input).first(cut), Cut::Whole);
                FrameResult result = feed.read(reader);
                ASSERT_FALSE(result) << cut;
                EXPECT_EQ(result.error().message, "failed to fill whole buffer");
                EXPECT_EQ(result.error().kind,
                          kind == Frame::Answer ? ErrorKind::Io : ErrorKind::StreamRead);
            }
        }
    }
}

// Announced lengths of nearly 4 GiB that never come: the memory handed out to receive into stays
// within what is reserved ahead, and no sink is asked for memory.
TEST(AnswerReaderEnd, AnnouncedLengthsAllocateNothingAhead) {
    const uint64_t lie = 0xFFFFFF00u;
    const Bytes head = concat({u64_le(0), u64_le(5), bytes_of("uint8"), {1}, u64_le(lie - 64)});
    const Bytes input = concat({header(0, lie), head, pattern(100000)});
    for (bool with_sink : {false, true}) {
        AnswerReader reader;
        Sink sink;
        reader.begin(Frame::Answer, with_sink ? &sink.sink : nullptr);
        Feed feed(input, Cut::Whole);
        FrameResult result = feed.read(reader);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message, "failed to fill whole buffer");
        EXPECT_EQ(sink.asked, 0);
        EXPECT_LE(feed.largest_buffer, ReceiveBuffer::kReserveAhead);
    }
}

}  // namespace
}  // namespace zelto
