#include "transport/answer_reader.hpp"

#include <cstring>
#include <utility>

namespace zelto {
namespace {

// The statuses of a stream item's header.
constexpr uint32_t kStreamError = 1;
constexpr uint32_t kStreamData = 2;

}  // namespace

void AnswerReader::begin(Frame frame, const DataSink* sink) {
    frame_ = frame;
    sink_ = sink;
    result_.reset();
    phase_ = Phase::Header;
    buffer_.want_field(ResponseHeader::kSize);
    advance();
}

void AnswerReader::begin_tensor_payload(size_t size, const DataSink& sink) {
    frame_ = Frame::Answer;
    sink_ = &sink;
    result_.reset();
    header_ = ResponseHeader{0, 0};
    size_ = size;
    head_size_ = 0;
    want_payload(Phase::Head, 0, 0, Route::ReadAhead);
    advance();
}

void AnswerReader::commit(size_t n) {
    if (done()) return;
    if (n == 0) return fail(early_end_of_stream());
    buffer_.commit(n);
    advance();
}

// A read of an open stream that fails is the stream's failure rather than the connection's: the
// stream stays open for the next item.
void AnswerReader::fail(IoError error) {
    if (done()) return;
    over(frame_ == Frame::Answer ? Error::io(std::move(error))
                                 : Error::from_io(ErrorKind::StreamRead, std::move(error)));
}

FrameResult AnswerReader::take_result() {
    FrameResult result = std::move(*result_);
    result_.reset();
    return result;
}

void AnswerReader::advance() {
    while (phase_ != Phase::Over && buffer_.complete()) {
        switch (phase_) {
            case Phase::Header:
                on_header();
                break;
            case Phase::Whole:
                on_whole();
                break;
            case Phase::Head:
                place_data();
                break;
            case Phase::Staged:
                on_staged();
                break;
            case Phase::Data:
                on_data();
                break;
            case Phase::Tail:
                on_tail();
                break;
            case Phase::Rest:
                on_rest();
                break;
            case Phase::Over:
                break;
        }
    }
}

// The payload is received in place, never past its end: a short one is mostly in the read-ahead
// buffer already, taken in with the header.
void AnswerReader::on_header() {
    header_ = ResponseHeader::decode(buffer_.field().data());
    size_ = header_.payload_size;
    if (frame_ == Frame::StreamItem && size_ == 0) return over(FrameResult(std::nullopt));
    const uint32_t tensor_status = frame_ == Frame::Answer ? 0 : kStreamData;
    if (sink_ != nullptr && header_.status == tensor_status) {
        head_size_ = 0;
        return place_data();
    }
    want_payload(Phase::Whole, 0, size_, Route::InPlace);
}

void AnswerReader::on_whole() {
    std::span<uint8_t> payload = buffer_.payload(size_);
    if (frame_ == Frame::Answer ? header_.status != 0 : header_.status == kStreamError) {
        return over(Error{ErrorKind::Server, utf8_lossy(payload)});
    }
    if (frame_ == Frame::StreamItem && header_.status != kStreamData) {
        return over(FrameResult(std::nullopt));  // ends the stream; its payload is dropped
    }
    auto tensor = decode_tensor_payload(payload);
    if (!tensor) return fail_decoding(std::move(tensor.error()));
    over(FrameResult(std::move(*tensor)));
}

// The head, field by field: each stretch stops where the next field begins, so no data byte
// lands in the payload buffer (at most the read-ahead holds some, and hands them on).
void AnswerReader::place_data() {
    std::span<const uint8_t> front = buffer_.payload(head_size_);
    const DataPlacement placement = place_raw_data(front, size_);
    if (placement.kind == DataPlacement::Kind::NeedMore) {
        const size_t have = head_size_;
        head_size_ = placement.head_size;
        return want_payload(Phase::Head, have, head_size_ - have, Route::ReadAhead);
    }
    if (placement.kind == DataPlacement::Kind::Located) {
        if (auto head = decode_tensor_payload_head(front.first(placement.head_size))) {
            return start_data(std::move(*head), placement);
        }
    }
    // No raw data inside the payload, or a head that fails: the whole payload decides.
    want_payload(Phase::Rest, head_size_, size_ - head_size_, Route::ReadAhead);
}

void AnswerReader::start_data(TensorPayloadHead head, const DataPlacement& placement) {
    head_ = std::move(head);
    head_size_ = placement.head_size;
    data_size_ = placement.data_size;
    if (data_size_ > ReceiveBuffer::kReserveAhead) {
        // A length this large is believed once half of it has come.
        staged_ = data_size_ / 2;
        return want_payload(Phase::Staged, head_size_, staged_, Route::ReadAhead);
    }
    staged_ = 0;
    if (!take_sink_memory(data_size_)) return;
    phase_ = Phase::Data;
    buffer_.want(memory_);
}

void AnswerReader::on_staged() {
    if (!take_sink_memory(data_size_)) return;
    std::memcpy(memory_.data(), buffer_.payload(head_size_ + staged_).data() + head_size_, staged_);
    phase_ = Phase::Data;
    buffer_.want(memory_.subspan(staged_));
}

// The head was decoded already: the tail takes its place in the payload buffer.
void AnswerReader::on_data() {
    want_payload(Phase::Tail, 0, size_ - head_size_ - data_size_, Route::ReadAhead);
}

void AnswerReader::on_tail() {
    auto tensor = finish_tensor_payload(std::move(head_), memory_,
                                        buffer_.payload(size_ - head_size_ - data_size_));
    if (!tensor) return fail_decoding(std::move(tensor.error()));
    over(FrameResult(std::move(*tensor)));
}

void AnswerReader::on_rest() {
    auto tensor = decode_tensor_payload(buffer_.payload(size_));
    if (!tensor) return fail_decoding(std::move(tensor.error()));
    if (!take_sink_memory(tensor->data.size())) return;
    if (!memory_.empty()) std::memcpy(memory_.data(), tensor->data.data(), memory_.size());
    tensor->data = memory_;
    over(FrameResult(std::move(*tensor)));
}

bool AnswerReader::take_sink_memory(size_t n) {
    std::span<uint8_t> memory = (*sink_)(n);
    if (memory.size() != n) {
        over(Error::sink_failed());
        return false;
    }
    memory_ = memory;
    return true;
}

void AnswerReader::want_payload(Phase phase, size_t offset, size_t n, Route route) {
    phase_ = phase;
    buffer_.want_payload(offset, n, size_, route);
}

void AnswerReader::over(FrameResult result) {
    result_ = std::move(result);
    phase_ = Phase::Over;
    sink_ = nullptr;
    memory_ = {};
}

}  // namespace zelto
