// Endpoint resolution on arbitrary constructor arguments.
//
// Input layout: one byte of presence flags (bit 0 endpoint, 1 protocol, 2 host, 3 port,
// 4 socket_path, 5 pipe_name, 6 api_token, 7 max_pool_size), then the values in that order
// separated by 0xFF bytes (a byte UTF-8 never uses, so every value can hold any other byte).
// port and max_pool_size are decimal digits; a value with no segment of its own is empty.
//
// Checks: trimming agrees with a code-point-wise trim of the Unicode White_Space set;
// resolution ignores white space around every text but the token and the letter case of the
// protocol; every failure is one of the fixed configuration messages.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "transport/config.hpp"
#include "transport/utf8.hpp"

namespace {

using zelto::ClientConfig;
using zelto::ConfigArguments;
using zelto::Error;
using zelto::ErrorKind;

enum Field { kEndpoint, kProtocol, kHost, kPort, kSocketPath, kPipeName, kApiToken, kPoolSize };
constexpr size_t kFields = 8;

std::array<std::string_view, kFields> split(std::span<const uint8_t> input) {
    std::array<std::string_view, kFields> values{};
    const std::string_view text(reinterpret_cast<const char*>(input.data()), input.size());
    size_t start = 0;
    for (size_t i = 0; i < kFields && start <= text.size(); ++i) {
        const size_t end = std::min(text.find('\xFF', start), text.size());
        values[i] = text.substr(start, end - start);
        start = end + 1;
    }
    return values;
}

uint64_t decimal(std::string_view text) {
    uint64_t value = 0;
    for (char c : text)
        if (c >= '0' && c <= '9') value = value * 10 + static_cast<uint64_t>(c - '0');
    return value;
}

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// Trims valid UTF-8 by decoding it into code points: the reference for trim_white_space.
std::string reference_trim(std::string_view text) {
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()),
                                         text.size());
    std::vector<char32_t> points;
    for (size_t pos = 0; pos < bytes.size();) points.push_back(*zelto::utf8::decode_at(bytes, pos));
    auto first = std::ranges::find_if_not(points, is_white_space);
    auto last =
        std::find_if_not(points.rbegin(), std::make_reverse_iterator(first), is_white_space);
    std::string out;
    for (auto it = first; it != last.base(); ++it) zelto::utf8::append(out, *it);
    return out;
}

void check_trim(std::string_view text) {
    const std::string_view trimmed = zelto::trim_white_space(text);
    FUZZ_CHECK(trimmed.data() >= text.data() &&
               trimmed.data() + trimmed.size() <= text.data() + text.size());
    FUZZ_CHECK(zelto::trim_white_space(trimmed) == trimmed);
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()),
                                         text.size());
    if (!zelto::utf8::validate(bytes)) FUZZ_CHECK(trimmed == reference_trim(text));
}

bool is_config_message(const std::string& message) {
    static constexpr std::array<std::string_view, 9> kFixed = {
        "protocol='tcp' cannot be combined with socket_path or pipe_name",
        "When endpoint is provided, do not also pass host/port",
        "tcp:// endpoint must include host:port",
        "protocol='tcp' expects endpoint as host:port or tcp://host:port",
        "protocol='socket' cannot be combined with host/port/pipe_name",
        "protocol='pipe' cannot be combined with host/port/socket_path",
        "pipe:// endpoint must include a pipe name",
        "protocol='pipe' expects a named pipe path",
        "unix:// endpoints are only supported on Unix",
    };
    if (std::ranges::find(kFixed, message) != kFixed.end()) return true;
    constexpr std::string_view kHead = "Unsupported protocol '";
    constexpr std::string_view kTail = "'. Use one of: socket, tcp, pipe";
    return message.starts_with(kHead) && message.ends_with(kTail);
}

bool same_result(const std::expected<ClientConfig, Error>& a,
                 const std::expected<ClientConfig, Error>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return a.error().kind == b.error().kind && a.error().message == b.error().message;
    return a->endpoint.kind == b->endpoint.kind && a->endpoint.address == b->endpoint.address &&
           a->api_token == b->api_token && a->max_pool_size == b->max_pool_size;
}

// The same arguments with white space around every text that resolution trims, and the
// protocol name in upper case.
ConfigArguments disguised(ConfigArguments args) {
    auto pad = [](std::optional<std::string>& value) {
        if (value) value = " \t\xE3\x80\x80" + *value + "\xC2\xA0\n";
    };
    pad(args.endpoint);
    pad(args.host);
    pad(args.socket_path);
    pad(args.pipe_name);
    if (args.protocol) {
        for (char& c : *args.protocol)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        pad(args.protocol);
    }
    return args;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t flags = data[0];
    const auto values = split({data + 1, size - 1});
    for (std::string_view value : values) check_trim(value);

    auto text = [&](Field f) -> std::optional<std::string> {
        if (!(flags & (1u << f))) return std::nullopt;
        return std::string(values[f]);
    };
    ConfigArguments args;
    args.endpoint = text(kEndpoint);
    args.protocol = text(kProtocol);
    args.host = text(kHost);
    if (flags & (1u << kPort)) args.port = static_cast<uint16_t>(decimal(values[kPort]));
    args.socket_path = text(kSocketPath);
    args.pipe_name = text(kPipeName);
    args.api_token = text(kApiToken);
    if (flags & (1u << kPoolSize)) args.max_pool_size = decimal(values[kPoolSize]);

    const auto config = zelto::resolve_client_config(args);
    if (config) {
        FUZZ_CHECK(!config->endpoint.address.empty());
        FUZZ_CHECK(config->api_token == args.api_token);
        FUZZ_CHECK(config->max_pool_size == args.max_pool_size);
    } else {
        FUZZ_CHECK(config.error().kind == ErrorKind::Config);
        FUZZ_CHECK(is_config_message(config.error().message));
    }
    FUZZ_CHECK(same_result(zelto::resolve_client_config(disguised(args)), config));

    // A TCP endpoint or a pipe path in the namespace reads back from its own display text.
    if (!values[kEndpoint].empty()) {
        auto endpoint = zelto::parse_endpoint(values[kEndpoint]);
        if (endpoint && (endpoint->kind == zelto::Endpoint::Kind::Tcp ||
                         endpoint->address.starts_with(zelto::kPipeNamespace))) {
            auto again = zelto::parse_endpoint(endpoint->display());
            FUZZ_CHECK(again && again->kind == endpoint->kind &&
                       again->address == endpoint->address);
        }
    }
    return 0;
}
