// Arbitrary bytes as an InferRequest body, the record a server reads from this client.
//
// Besides surviving any input, a body that decodes must agree with the encoder: re-encoding
// what was decoded and decoding that again gives the same request, and when the body is one
// this client could have sent (canonical dtype names, raw data, no base64), the re-encoding is
// byte for byte the input up to the options field.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fuzz_check.hpp"
#include "transport/messages.hpp"

namespace {

using zelto::InferRequest;
using zelto::TensorPayload;

// A decoded tensor as the encoder takes it, when the encoder can write it at all.
std::optional<zelto::TensorView> sendable(const TensorPayload& payload, bool& canonical) {
    auto dtype = zelto::parse_dtype(payload.dtype);
    if (!dtype || !payload.data || payload.data_base64) return std::nullopt;
    canonical = canonical && zelto::canonical_name(*dtype) == payload.dtype;
    return zelto::TensorView{payload.shape, *dtype, *payload.data};
}

bool same_tensor(const TensorPayload& decoded, const zelto::TensorView& sent) {
    return decoded.shape == std::vector<int64_t>(sent.shape.begin(), sent.shape.end()) &&
           decoded.dtype == zelto::canonical_name(sent.dtype) && decoded.data &&
           std::ranges::equal(*decoded.data, sent.data) && !decoded.data_base64;
}

void check_round_trip(std::span<const uint8_t> input, const InferRequest& request) {
    bool canonical = true;
    auto input_view = sendable(request.input, canonical);
    if (!input_view) return;
    std::vector<zelto::NamedTensorView> extras;
    for (const auto& [name, payload] : request.additional_inputs) {
        auto view = sendable(payload, canonical);
        if (!view) return;
        extras.push_back({name, *view});
    }
    zelto::InferRequestView view;
    view.input = *input_view;
    view.additional_inputs = extras;
    if (request.session_id) view.session_id = *request.session_id;
    if (request.api_token) view.api_token = *request.api_token;

    const std::vector<uint8_t> encoded = zelto::encode_infer_request(view);
    FUZZ_CHECK(encoded.size() == zelto::encoded_size(view));

    auto again = zelto::decode_infer_request(encoded);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(same_tensor(again->input, view.input));
    FUZZ_CHECK(again->additional_inputs.size() == extras.size());
    for (size_t i = 0; i < extras.size(); ++i) {
        FUZZ_CHECK(again->additional_inputs[i].first == extras[i].name);
        FUZZ_CHECK(same_tensor(again->additional_inputs[i].second, extras[i].tensor));
    }
    FUZZ_CHECK(again->session_id == request.session_id);
    FUZZ_CHECK(again->api_token == request.api_token);

    if (!canonical) return;
    // Everything before the options field is laid out exactly as the input had it. The options
    // themselves may carry slots this client never writes, so they are left to the check above.
    view.api_token.reset();
    const std::vector<uint8_t> plain = zelto::encode_infer_request(view);
    const size_t before_options = plain.size() - 1;
    FUZZ_CHECK(input.size() > before_options);
    FUZZ_CHECK(
        std::ranges::equal(input.first(before_options), std::span(plain).first(before_options)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> input(data, size);
    auto request = zelto::decode_infer_request(input);
    if (!request) {
        FUZZ_CHECK(!request.error().empty());
        return 0;
    }
    check_round_trip(input, *request);
    return 0;
}
