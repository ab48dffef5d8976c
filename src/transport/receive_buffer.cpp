#include "transport/receive_buffer.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/os_error.hpp"

namespace zelto {

IoError early_end_of_stream() {
    return platform::custom_error(IoCategory::Other, "failed to fill whole buffer");
}

ReceiveBuffer::ReceiveBuffer(ReceiveBuffer&& other) noexcept {
    *this = std::move(other);
}

ReceiveBuffer& ReceiveBuffer::operator=(ReceiveBuffer&& other) noexcept {
    if (this != &other) {
        kind_ = other.kind_;
        caller_ = std::exchange(other.caller_, nullptr);
        filled_ = std::exchange(other.filled_, 0);
        until_ = std::exchange(other.until_, 0);
        total_ = std::exchange(other.total_, 0);
        route_ = other.route_;
        into_ahead_ = std::exchange(other.into_ahead_, false);
        ahead_ = std::move(other.ahead_);
        ahead_begin_ = std::exchange(other.ahead_begin_, 0);
        ahead_end_ = std::exchange(other.ahead_end_, 0);
        payload_ = std::move(other.payload_);
        field_ = other.field_;
        field_size_ = std::exchange(other.field_size_, 0);
    }
    return *this;
}

void ReceiveBuffer::want(std::span<uint8_t> out) {
    kind_ = Target::Caller;
    caller_ = out.data();
    filled_ = 0;
    until_ = out.size();
    route_ = Route::ReadAhead;
    settle();
}

void ReceiveBuffer::want_field(size_t n) {
    kind_ = Target::Field;
    field_size_ = std::min(n, kFieldSize);
    filled_ = 0;
    until_ = field_size_;
    route_ = Route::ReadAhead;  // a field is never received in place: it lies in this object
    settle();
}

void ReceiveBuffer::want_payload(size_t offset, size_t n, size_t total, Route route) {
    kind_ = Target::Payload;
    payload_.grow(std::min(total, kReserveAhead), offset);
    filled_ = offset;
    until_ = offset + n;
    total_ = total;
    route_ = route;
    settle();
}

uint8_t* ReceiveBuffer::target() {
    switch (kind_) {
        case Target::Caller:
            return caller_;
        case Target::Payload:
            return payload_.data();
        case Target::Field:
            return field_.data();
    }
    return caller_;
}

size_t ReceiveBuffer::stretch_end() const {
    return kind_ == Target::Payload ? std::min(until_, payload_.capacity()) : until_;
}

void ReceiveBuffer::settle() {
    while (filled_ < until_) {
        if (kind_ == Target::Payload && filled_ == payload_.capacity()) {
            // Past the reservation: a larger one, filled with what arrived before the old one
            // goes, so at no time are more pages touched than the new buffer's.
            payload_.grow(std::min(total_, payload_.capacity() * 2), filled_);
        }
        const size_t buffered = ahead_end_ - ahead_begin_;
        if (buffered == 0) break;
        const size_t n = std::min(buffered, stretch_end() - filled_);
        std::memcpy(target() + filled_, ahead_.get() + ahead_begin_, n);
        filled_ += n;
        ahead_begin_ += n;
        if (ahead_begin_ == ahead_end_) ahead_begin_ = ahead_end_ = 0;
    }
    // A short stretch lands in the read-ahead buffer (empty by now), a long one in place.
    into_ahead_ =
        filled_ < until_ && route_ == Route::ReadAhead && stretch_end() - filled_ < kReadAhead;
    if (into_ahead_ && !ahead_) ahead_ = std::make_unique_for_overwrite<uint8_t[]>(kReadAhead);
}

std::span<uint8_t> ReceiveBuffer::next_buffer() {
    if (filled_ == until_) return {};
    if (into_ahead_) return {ahead_.get() + ahead_end_, kReadAhead - ahead_end_};
    return {target() + filled_, stretch_end() - filled_};
}

void ReceiveBuffer::commit(size_t n) {
    if (into_ahead_) {
        ahead_end_ += n;
    } else {
        filled_ += n;
    }
    settle();
}

void ReceiveBuffer::shed_large_buffer() {
    if (payload_.capacity() > kKeptPayloadBuffer) payload_.release();
}

}  // namespace zelto
