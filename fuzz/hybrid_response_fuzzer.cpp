// Arbitrary bytes as the payload of a hybrid response: a HybridResponse when the status is 0,
// the server's error text otherwise.
//
// A HybridResponse decodes exactly when 40 bytes are there and encodes back to them. An error
// text is always valid UTF-8, and an input that already was UTF-8 comes out unchanged.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "fuzz_check.hpp"
#include "hybrid/control_messages.hpp"
#include "transport/utf8.hpp"

using zelto::hybrid::HybridResponse;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> input(data, size);

    auto response = HybridResponse::decode(input);
    FUZZ_CHECK(response.has_value() == (size >= zelto::hybrid::kHybridResponseSize));
    if (response) {
        const auto encoded = response->encode();
        FUZZ_CHECK(std::ranges::equal(encoded, input.first(encoded.size())));
    } else {
        FUZZ_CHECK(response.error() == "io error: unexpected end of file");
    }

    const std::string text = zelto::hybrid::failure_text(input);
    const std::span<const uint8_t> text_bytes(reinterpret_cast<const uint8_t*>(text.data()),
                                              text.size());
    FUZZ_CHECK(!zelto::utf8::validate(text_bytes).has_value());
    if (!zelto::utf8::validate(input).has_value())
        FUZZ_CHECK(std::ranges::equal(text_bytes, input));
    // Each replacement character stands for at least one input byte.
    FUZZ_CHECK(text.size() <= 3 * size);
    return 0;
}
