// Where a connection's received bytes go, without doing any I/O: whoever owns the stream asks
// next_buffer() for the memory to receive into, receives, and reports what arrived with
// commit(n). The same object serves a blocking loop and a completion handler alike.
//
// The bytes asked for (want...) land in one of three places: memory of the caller's (a buffer to
// fill, or the memory a sink gave for an answer's data), the payload buffer (grown as bytes
// arrive) or a short field inside this object (a frame header). A receive of a long stretch goes
// straight into that place; a short one takes whatever has arrived, up to kReadAhead bytes, into
// the read-ahead buffer, so a frame header and a small payload cost one receive instead of two.
// Bytes read ahead begin whatever is asked for next, so the stream reads exactly as if every
// byte had been received where it belongs.
//
// Every span handed out lies in memory owned by the heap or by the caller, never inside this
// object, so the object can move while a receive into it is in flight.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/io_error.hpp"
#include "platform/memory.hpp"

namespace zelto {

// What a read reports when the stream ends before the bytes it asked for came.
IoError early_end_of_stream();

class ReceiveBuffer {
public:
    // How a stretch of the payload buffer shorter than kReadAhead is received: through the
    // read-ahead buffer (which may take bytes past it), or in place (never past it).
    enum class Route { ReadAhead, InPlace };

    ReceiveBuffer() = default;
    ReceiveBuffer(ReceiveBuffer&& other) noexcept;
    ReceiveBuffer& operator=(ReceiveBuffer&& other) noexcept;
    ReceiveBuffer(const ReceiveBuffer&) = delete;
    ReceiveBuffer& operator=(const ReceiveBuffer&) = delete;

    // Asks for `out` to be filled, with bytes read ahead first.
    void want(std::span<uint8_t> out);
    // Asks for the short field to be filled with the next `n` bytes (n <= kFieldSize).
    void want_field(size_t n);
    // Asks for bytes [offset, offset + n) of a payload of `total` bytes in the payload buffer,
    // which keeps its first `offset` bytes. The buffer reserves address space for at most
    // kReserveAhead bytes of `total` at once and doubles as bytes arrive past that, so a size the
    // peer announced costs memory only for what actually comes.
    void want_payload(size_t offset, size_t n, size_t total, Route route);

    // Whether every byte asked for is there.
    bool complete() const { return filled_ == until_; }
    // Where the next received bytes go: empty once complete(). The same span until the next
    // commit or want.
    std::span<uint8_t> next_buffer();
    // Takes in `n` bytes (at least 1, at most next_buffer().size()) received into next_buffer().
    void commit(size_t n);

    std::span<const uint8_t> field() const { return std::span(field_).first(field_size_); }
    // The payload buffer's first n bytes (as far as they were asked for).
    std::span<uint8_t> payload(size_t n) { return {payload_.data(), n}; }

    // Whether bytes were received past what was asked for.
    bool has_unread_bytes() const { return ahead_end_ != ahead_begin_; }
    // Frees the payload buffer if it is larger than kKeptPayloadBuffer: a connection keeps a
    // buffer of ordinary size for its next payload (no allocation, no fresh pages), but one that
    // sits idle should not hold on to the memory of a large answer.
    void shed_large_buffer();

    static constexpr size_t kReadAhead = 4096;
    // The address space a payload buffer reserves for an announced size, without touching it:
    // memory is used only as bytes arrive, and a payload that fits is never copied to a larger
    // buffer. Past it, the reservation doubles as bytes arrive.
    static constexpr size_t kReserveAhead = size_t{32} << 20;
    // The largest payload buffer kept once the payload in it has been used.
    static constexpr size_t kKeptPayloadBuffer = size_t{2} << 20;
    static constexpr size_t kFieldSize = 16;

private:
    enum class Target { Caller, Payload, Field };

    // The wanted bytes' memory; resolved at each use, so a field target survives a move.
    uint8_t* target();
    // Where the stretch the next receive may fill ends: the wanted end, or the payload buffer's.
    size_t stretch_end() const;
    // Takes read-ahead bytes into the target and grows the payload buffer, until the target is
    // complete or bytes must be received; then decides where they go.
    void settle();

    Target kind_ = Target::Caller;
    uint8_t* caller_ = nullptr;
    size_t filled_ = 0;  // offset into the target up to which bytes are there
    size_t until_ = 0;   // offset into the target where the wanted bytes end
    size_t total_ = 0;   // the payload's size, the limit of the payload buffer's growth
    Route route_ = Route::ReadAhead;
    bool into_ahead_ = false;  // whether next_buffer() is the read-ahead buffer

    std::unique_ptr<uint8_t[]> ahead_;  // kReadAhead bytes once a short receive needed them
    size_t ahead_begin_ = 0;
    size_t ahead_end_ = 0;
    platform::ByteBuffer payload_;
    std::array<uint8_t, kFieldSize> field_{};
    size_t field_size_ = 0;
};

}  // namespace zelto
