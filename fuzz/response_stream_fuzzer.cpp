// The answer reader of a stream, fed from memory in fragments.
//
// The first input byte chooses how the rest, what the server sends, is cut: into fragments of 1
// to (byte + 1) bytes, their lengths drawn from a generator the byte seeds (so 0 feeds byte by
// byte). Each receive takes at most what is left of the current fragment, as a socket hands over
// what has arrived, and the stream ends after the last one. What the reader yields is compared
// with a plain parse of the same bytes from memory, read once as it is and once with a sink that
// the data is read into.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "transport/answer_reader.hpp"
#include "transport/messages.hpp"

namespace {

// Enough items to walk through several frames without letting one input run for long.
constexpr size_t kMaxItems = 64;

// The server's bytes, handed over one receive at a time.
class Feed {
public:
    Feed(std::span<const uint8_t> stream, uint8_t cut)
        : rest_(stream), longest_(size_t{cut} + 1), state_(0x9E3779B9u ^ cut) {}

    // Fills the front of `into` as one receive does; 0 once the stream is over.
    size_t receive(std::span<uint8_t> into) {
        if (rest_.empty()) return 0;
        if (fragment_ == 0) fragment_ = std::min(rest_.size(), next_length());
        const size_t n = std::min(into.size(), fragment_);
        std::memcpy(into.data(), rest_.data(), n);
        rest_ = rest_.subspan(n);
        fragment_ -= n;
        return n;
    }

private:
    size_t next_length() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return 1 + state_ % longest_;
    }

    std::span<const uint8_t> rest_;
    size_t longest_;
    uint32_t state_;
    size_t fragment_ = 0;  // bytes left of the fragment being received
};

// Items own their data: a stream item's view lasts only until the reader's next frame.
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

// Reads the stream from the start as the feed cuts it, with or without a sink.
std::vector<Item> read_items(std::span<const uint8_t> stream, uint8_t cut, bool with_sink) {
    Feed feed(stream, cut);
    zelto::AnswerReader reader;
    Sink sink;
    std::vector<Item> got;
    while (got.size() < kMaxItems) {
        sink.asked = 0;
        reader.begin(zelto::AnswerReader::Frame::StreamItem, with_sink ? &sink.sink : nullptr);
        while (!reader.done()) {
            std::span<uint8_t> into = reader.next_buffer();
            FUZZ_CHECK(!into.empty());
            reader.commit(feed.receive(into));
        }
        auto item = reader.take_result();
        if (with_sink && item && item->has_value()) {
            FUZZ_CHECK(sink.asked == 1 && (*item)->data.data() == sink.memory.get() &&
                       (*item)->data.size() == sink.size);
        }
        got.push_back(owned(item));
        if (!got.back() || !got.back()->has_value()) break;
    }
    return got;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::span<const uint8_t> stream(data + 1, size - 1);
    const std::vector<Item> want = parse_items(stream);
    for (bool with_sink : {false, true}) {
        const std::vector<Item> got = read_items(stream, data[0], with_sink);
        FUZZ_CHECK(got.size() == want.size());
        for (size_t i = 0; i < got.size(); ++i) FUZZ_CHECK(same_item(got[i], want[i]));
    }
    return 0;
}
