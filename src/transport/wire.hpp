// The binary body encoding shared by every message of the socket and hybrid protocols.
//
//   u8 / i8            1 byte
//   u32 / i32 / f32    4 bytes, little-endian (f32 as its IEEE 754 bit pattern)
//   u64 / i64          8 bytes, little-endian
//   bool               1 byte, 0 or 1
//   text, byte string  u64 byte count, then the bytes (text is UTF-8, no terminator)
//   sequence, map      u64 element (entry) count, then the elements (key then value)
//   optional           tag byte 0 (absent, nothing follows) or 1 (present, the value follows)
//   fixed array, record  the elements or fields back to back: no count, names or padding
//
// Encoding runs one record-writing function twice: first against a sink that only counts
// bytes, then against a sink that appends to a buffer reserved at exactly that size, so a
// message costs one allocation and the writing pass never reallocates.
#pragma once

#include <bit>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zelto::wire {

inline constexpr std::string_view kUnexpectedEof = "io error: unexpected end of file";
// A text whose count runs past the input: the I/O error carries no text of its own.
inline constexpr std::string_view kShortText = "io error: ";

// Sink of the first pass: counts bytes.
class SizeCounter {
public:
    void put(const uint8_t*, size_t n) { size_ += n; }
    size_t size() const { return size_; }

private:
    size_t size_ = 0;
};

// Sink of the second pass: appends to a buffer whose capacity is already the exact size.
class BufferWriter {
public:
    explicit BufferWriter(std::vector<uint8_t>& out) : out_(out) {}
    void put(const uint8_t* p, size_t n) { out_.insert(out_.end(), p, p + n); }

private:
    std::vector<uint8_t>& out_;
};

template <class Sink>
class Encoder {
public:
    explicit Encoder(Sink& sink) : sink_(sink) {}

    void u8(uint8_t v) { sink_.put(&v, 1); }
    void u32(uint32_t v) { little_endian(v); }
    void u64(uint64_t v) { little_endian(v); }
    void i64(int64_t v) { little_endian(static_cast<uint64_t>(v)); }
    void f32(float v) { little_endian(std::bit_cast<uint32_t>(v)); }
    void boolean(bool v) { u8(v ? 1 : 0); }
    void count(uint64_t n) { u64(n); }
    // A fixed-size array: the bytes alone, no count.
    void fixed(std::span<const uint8_t> bytes) { sink_.put(bytes.data(), bytes.size()); }
    void text(std::string_view s) {
        count(s.size());
        sink_.put(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    }
    void byte_string(std::span<const uint8_t> bytes) {
        count(bytes.size());
        fixed(bytes);
    }
    void i64_sequence(std::span<const int64_t> values) {
        count(values.size());
        for (int64_t v : values) i64(v);
    }
    // Tag of an optional; a present value is written right after it by the caller.
    void present() { u8(1); }
    void absent() { u8(0); }

private:
    template <class U>
    void little_endian(U v) {
        uint8_t bytes[sizeof(U)];
        for (size_t i = 0; i < sizeof(U); ++i) bytes[i] = static_cast<uint8_t>(v >> (8 * i));
        sink_.put(bytes, sizeof(U));
    }

    Sink& sink_;
};

// Exact encoded size of what `write` produces; `write` takes an Encoder<Sink>& for any sink.
template <class Write>
size_t encoded_size_of(Write&& write) {
    SizeCounter counter;
    Encoder<SizeCounter> encoder(counter);
    write(encoder);
    return counter.size();
}

// Encodes into one buffer of exactly the encoded size.
template <class Write>
std::vector<uint8_t> encode(Write&& write) {
    std::vector<uint8_t> out;
    out.reserve(encoded_size_of(write));
    BufferWriter writer(out);
    Encoder<BufferWriter> encoder(writer);
    write(encoder);
    return out;
}

// Reads values from the front of a complete buffer. Every read checks the bytes that remain
// before taking them; counts read from the input never size an allocation beyond what remains.
// Errors are the message texts of the protocol.
class Decoder {
public:
    template <class T>
    using Result = std::expected<T, std::string>;

    explicit Decoder(std::span<const uint8_t> input) : input_(input) {}

    size_t position() const { return pos_; }
    size_t remaining() const { return input_.size() - pos_; }

    Result<uint8_t> u8();
    Result<uint32_t> u32();
    Result<uint64_t> u64();
    Result<int64_t> i64();
    Result<float> f32();
    Result<bool> boolean();
    Result<uint64_t> count() { return u64(); }
    // A fixed-size array of n bytes, viewed in place.
    Result<std::span<const uint8_t>> fixed(size_t n);
    // Text, validated as UTF-8 and viewed in place.
    Result<std::string_view> text();
    // A byte string, viewed in place.
    Result<std::span<const uint8_t>> byte_string();
    Result<std::vector<int64_t>> i64_sequence();
    // Tag of an optional: false absent, true present.
    Result<bool> tag();

private:
    template <class U>
    Result<U> little_endian();

    std::span<const uint8_t> input_;
    size_t pos_ = 0;
};

}  // namespace zelto::wire

// Binds `var` to the value of a wire::Decoder::Result, or returns its error from the enclosing
// function, whose return type must be a std::expected with a std::string error.
#define ZELTO_WIRE_TRY(var, expr) \
    auto var = (expr);            \
    if (!var) return std::unexpected(std::move(var.error()))
