// Reads the server's answer frames (a single-shot answer, or one item of a stream) from bytes
// handed to it, without doing any I/O itself: whoever owns the stream receives into
// next_buffer(), reports the bytes with commit(n) (0 for the end of the stream) or a failure with
// fail(), and takes the decoded frame once done(). A blocking loop drives it (Connection) as a
// completion handler can; it never waits, and it moves with the connection that owns it.
//
// A frame is a response header (status, payload length) and the payload:
//   single-shot answer  status 0: a tensor payload; any other status: the server's error text
//   stream item         payload length 0: the end of the stream; status 1: the server's error
//                       text; status 2: a tensor payload; any other status ends the stream
//                       (its payload is read and dropped)
// Without a sink, the payload is read whole into the payload buffer and decoded there: the
// tensor's data is a view into it, valid until the next frame.
//
// With a sink, a tensor payload's data is received straight into the sink's memory, which is
// asked for once, when the data's length is known to fit the payload. The fields before the data
// come through the read-ahead buffer field by field, so no data byte lands in the payload
// buffer; the rest of the payload follows the data into the payload buffer and is decoded there.
// A payload without raw data in it (base64 text, or one that fails before its data) is read and
// decoded whole as without a sink, and the decoded data copied into the sink's memory. Either
// way the result, checks and messages are those of decoding the whole payload.
//
// Memory is given out for a length the peer announced only as for the payload buffer: at once up
// to kReserveAhead (memory a sink hands out for that must be touched only as bytes land in it, as
// fresh allocations are); a larger data length is believed once half of it has arrived (into the
// payload buffer, which grows as bytes arrive): only then is the sink asked, and that half
// copied over. A peer that announces more than it sends gets no more memory than twice what it
// sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "transport/errors.hpp"
#include "transport/messages.hpp"
#include "transport/receive_buffer.hpp"

namespace zelto {

// Memory for an answer's data, asked for once the data's length `n` is known: exactly n bytes
// that the data is then read into, so an answer can arrive straight in its final place (the
// binding hands out the storage of a new bytes object). An empty span for n > 0 means the caller
// could not provide the memory; the frame then fails with SinkFailed.
using DataSink = std::function<std::span<uint8_t>(size_t n)>;

// A decoded frame: a tensor, std::nullopt at the end of a stream (never for a single-shot
// answer), or an error: Server for the server's error text, Codec for a payload that does not
// decode, SinkFailed when the sink gave no memory, and for a failed read (fail(), or the end of
// the stream mid-frame: "failed to fill whole buffer") Io for an answer and StreamRead for a
// stream item, or Interrupted / TimedOut for a stopped wait. After Codec and Server errors the
// frame was read to its end; after the others the stream may be mid-frame.
using FrameResult = std::expected<std::optional<DecodedTensor>, Error>;

class AnswerReader {
public:
    enum class Frame { Answer, StreamItem };

    // Starts reading the next frame; the sink, when given, must outlive the frame. Bytes read
    // ahead by the frame before are taken first, so the frame may be done at once.
    void begin(Frame frame, const DataSink* sink = nullptr);
    // Starts reading a single-shot answer whose header was read (status 0, a payload of `size`
    // bytes), its data into `sink`'s memory.
    void begin_tensor_payload(size_t size, const DataSink& sink);

    // Whether the frame's result is there.
    bool done() const { return result_.has_value(); }
    // Where the next received bytes go: non-empty until done(), the same span until the next
    // commit. A large stretch of data is received straight into its final memory.
    std::span<uint8_t> next_buffer() { return buffer_.next_buffer(); }
    // Takes in `n` bytes received into next_buffer(); 0 means the stream ended.
    void commit(size_t n);
    // Ends the frame with a failure of the stream or of its wait.
    void fail(IoError error);
    // The frame's result, once done(); the reader is then ready for the next begin().
    FrameResult take_result();

    // The received bytes themselves, for reading raw bytes outside frames.
    ReceiveBuffer& receive_buffer() { return buffer_; }
    const ReceiveBuffer& receive_buffer() const { return buffer_; }

private:
    enum class Phase { Header, Whole, Head, Staged, Data, Tail, Rest, Over };
    using Route = ReceiveBuffer::Route;

    // Acts on each completed stretch until more bytes are needed or the frame is over.
    void advance();
    void on_header();
    // The payload with a sink: finds where its data lies from the bytes read so far.
    void place_data();
    void start_data(TensorPayloadHead head, const DataPlacement& placement);
    void on_staged();
    void on_data();
    void on_tail();
    void on_rest();
    void on_whole();
    // The sink's memory for the data; false (and the frame over) when it gave none.
    bool take_sink_memory(size_t n);
    void want_payload(Phase phase, size_t offset, size_t n, Route route);
    void over(FrameResult result);
    void over(Error error) { over(FrameResult(std::unexpected(std::move(error)))); }
    void fail_decoding(std::string text) { over(Error{ErrorKind::Codec, std::move(text)}); }

    ReceiveBuffer buffer_;
    Frame frame_ = Frame::Answer;
    Phase phase_ = Phase::Over;
    const DataSink* sink_ = nullptr;
    ResponseHeader header_{};
    size_t size_ = 0;            // the payload's
    size_t head_size_ = 0;       // payload bytes before the data (or read so far while placing it)
    size_t data_size_ = 0;       // the data's length
    size_t staged_ = 0;          // data bytes received into the payload buffer before the sink's
    TensorPayloadHead head_;     // decoded head, while its data and tail are read
    std::span<uint8_t> memory_;  // the sink's memory for the data
    std::optional<FrameResult> result_;
};

}  // namespace zelto
