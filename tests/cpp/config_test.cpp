// Resolution of ZeltoClient settings: every rule set, the precedence order and every message.
#include "transport/config.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/socket.hpp"

namespace zelto {
namespace {

using Opt = std::optional<std::string>;

struct Case {
    std::string label;
    ConfigArguments args;
    std::string expected;  // the endpoint display, or "error: " + the configuration message
};

std::string outcome(const ConfigArguments& args) {
    auto config = resolve_client_config(args);
    if (!config) {
        EXPECT_EQ(config.error().kind, ErrorKind::Config);
        return "error: " + config.error().message;
    }
    return config->endpoint.display();
}

ConfigArguments with(Opt endpoint = {}, Opt protocol = {}, Opt host = {},
                     std::optional<uint16_t> port = {}, Opt socket_path = {}, Opt pipe_name = {}) {
    ConfigArguments a;
    a.endpoint = std::move(endpoint);
    a.protocol = std::move(protocol);
    a.host = std::move(host);
    a.port = port;
    a.socket_path = std::move(socket_path);
    a.pipe_name = std::move(pipe_name);
    return a;
}

const std::string kDefaultPipe = "pipe://\\\\.\\pipe\\zelto";

class ConfigResolution : public testing::TestWithParam<Case> {};

TEST_P(ConfigResolution, ResolvesOrRefuses) {
    EXPECT_EQ(outcome(GetParam().args), GetParam().expected);
}

const std::vector<Case> kCases = {
    // Precedence without a protocol.
    {"nothing", with(), kDefaultPipe},
    {"port_only", with({}, {}, {}, 8080), "tcp://127.0.0.1:8080"},
    {"host_only", with({}, {}, "10.0.0.5"), "tcp://10.0.0.5:9096"},
    {"host_not_examined", with({}, {}, "10.0.0.5:7"), "tcp://10.0.0.5:7:9096"},
    {"port_zero", with({}, {}, {}, 0), "tcp://127.0.0.1:0"},
    {"tcp_endpoint", with("tcp://10.0.0.5:7000"), "tcp://10.0.0.5:7000"},
    {"bare_host_port_is_pipe_path", with("10.0.0.5:7000"), "pipe://10.0.0.5:7000"},
    {"pipe_scheme_normalized", with("pipe://svc"), "pipe://\\\\.\\pipe\\svc"},
    {"pipe_scheme_keeps_namespace", with("pipe://\\\\.\\pipe\\svc"), "pipe://\\\\.\\pipe\\svc"},
    {"namespace_is_case_sensitive", with("pipe://\\\\.\\PIPE\\svc"),
     "pipe://\\\\.\\pipe\\\\\\.\\PIPE\\svc"},
    {"endpoint_beats_port", with("tcp://h:1", {}, {}, 2), "tcp://h:1"},
    {"endpoint_beats_socket_path", with("a", {}, {}, {}, "b"), "pipe://a"},
    {"host_beats_socket_path", with({}, {}, "h", {}, "s", "p"), "tcp://h:9096"},
    {"socket_path_parsed", with({}, {}, {}, {}, "tcp://x:1"), "tcp://x:1"},
    {"socket_path_beats_pipe_name", with({}, {}, {}, {}, "/run/z.sock", "p"), "pipe:///run/z.sock"},
    {"pipe_name_normalized", with({}, {}, {}, {}, {}, "svc"), "pipe://\\\\.\\pipe\\svc"},
    {"pipe_name_scheme_not_parsed", with({}, {}, {}, {}, {}, "pipe://x"),
     "pipe://\\\\.\\pipe\\pipe://x"},
    {"empty_tcp_scheme", with("tcp://"), "error: tcp:// endpoint must include host:port"},
    {"unix_scheme", with("unix:///tmp/s"), "error: unix:// endpoints are only supported on Unix"},
    {"empty_pipe_scheme", with("pipe://"), "error: pipe:// endpoint must include a pipe name"},
    {"scheme_case_sensitive", with("TCP://h:1"), "pipe://TCP://h:1"},
    {"socket_path_unix", with({}, {}, {}, {}, "unix://x"),
     "error: unix:// endpoints are only supported on Unix"},

    // Protocol names.
    {"protocol_trimmed_lowered", with({}, "  TCP "), "tcp://127.0.0.1:9096"},
    {"protocol_unknown", with({}, "UDP"),
     "error: Unsupported protocol 'udp'. Use one of: socket, tcp, pipe"},
    {"protocol_unknown_keeps_non_ascii", with({}, "\xC3\x89X"),
     "error: Unsupported protocol '\xC3\x89x'. Use one of: socket, tcp, pipe"},
    {"protocol_empty", with({}, ""), kDefaultPipe},
    {"protocol_blank", with({}, " \t\n"), kDefaultPipe},
    {"protocol_local", with({}, "local"), kDefaultPipe},
    {"protocol_unix", with({}, "unix"), kDefaultPipe},
    {"protocol_socket", with({}, "Socket"), kDefaultPipe},
    {"protocol_named_pipe", with({}, "named_pipe"), kDefaultPipe},
    {"protocol_named_dash_pipe", with({}, "NAMED-PIPE"), kDefaultPipe},
    {"protocol_inner_space_unknown", with({}, "t cp"),
     "error: Unsupported protocol 't cp'. Use one of: socket, tcp, pipe"},

    // TCP rules.
    {"tcp_bare_endpoint", with("10.0.0.5:7000", "tcp"), "tcp://10.0.0.5:7000"},
    {"tcp_scheme_endpoint", with("tcp://h:1", "tcp"), "tcp://h:1"},
    {"tcp_defaults", with({}, "tcp"), "tcp://127.0.0.1:9096"},
    {"tcp_host_port", with({}, "tcp", "h", 1), "tcp://h:1"},
    {"tcp_with_socket_path", with({}, "tcp", {}, {}, "s"),
     "error: protocol='tcp' cannot be combined with socket_path or pipe_name"},
    {"tcp_with_pipe_name_before_endpoint_check", with("tcp://", "tcp", {}, {}, {}, "p"),
     "error: protocol='tcp' cannot be combined with socket_path or pipe_name"},
    {"tcp_endpoint_and_port", with("tcp://h:1", "tcp", {}, 2),
     "error: When endpoint is provided, do not also pass host/port"},
    {"tcp_endpoint_and_host", with("h:1", "tcp", "h"),
     "error: When endpoint is provided, do not also pass host/port"},
    {"tcp_empty_scheme", with("tcp://", "tcp"), "error: tcp:// endpoint must include host:port"},
    {"tcp_other_scheme", with("pipe://x", "tcp"),
     "error: protocol='tcp' expects endpoint as host:port or tcp://host:port"},
    {"tcp_scheme_inside", with("h://x", "tcp"),
     "error: protocol='tcp' expects endpoint as host:port or tcp://host:port"},

    // Socket rules.
    {"socket_bare_path_unchanged", with("svc", "socket"), "pipe://svc"},
    {"socket_tcp_scheme", with({}, "unix", {}, {}, "tcp://10.0.0.5:1"), "tcp://10.0.0.5:1"},
    {"socket_path_beats_endpoint", with("a", "socket", {}, {}, "b"), "pipe://b"},
    {"socket_pipe_scheme", with("pipe://x", "local"), "pipe://\\\\.\\pipe\\x"},
    {"socket_unix_scheme", with("unix://x", "socket"),
     "error: unix:// endpoints are only supported on Unix"},
    {"socket_with_port", with({}, "unix", {}, 1),
     "error: protocol='socket' cannot be combined with host/port/pipe_name"},
    {"socket_with_pipe_name", with({}, "local", {}, {}, {}, "p"),
     "error: protocol='socket' cannot be combined with host/port/pipe_name"},
    {"socket_with_host", with({}, "socket", "h"),
     "error: protocol='socket' cannot be combined with host/port/pipe_name"},

    // Pipe rules.
    {"pipe_bare_name", with("svc", "pipe"), "pipe://\\\\.\\pipe\\svc"},
    {"pipe_name_beats_endpoint", with("b", "pipe", {}, {}, {}, "a"), "pipe://\\\\.\\pipe\\a"},
    {"pipe_name_beats_bad_endpoint", with("tcp://x", "pipe", {}, {}, {}, "a"),
     "pipe://\\\\.\\pipe\\a"},
    {"pipe_default", with({}, "pipe"), kDefaultPipe},
    {"pipe_scheme", with("pipe://svc", "named-pipe"), "pipe://\\\\.\\pipe\\svc"},
    {"pipe_empty_scheme", with({}, "pipe", {}, {}, {}, "pipe://"),
     "error: pipe:// endpoint must include a pipe name"},
    {"pipe_tcp_scheme", with("tcp://h:1", "pipe"),
     "error: protocol='pipe' expects a named pipe path"},
    {"pipe_unix_scheme", with({}, "pipe", {}, {}, {}, "unix://x"),
     "error: protocol='pipe' expects a named pipe path"},
    {"pipe_with_socket_path", with({}, "pipe", {}, {}, "s"),
     "error: protocol='pipe' cannot be combined with host/port/socket_path"},
    {"pipe_with_port", with({}, "pipe", {}, 1),
     "error: protocol='pipe' cannot be combined with host/port/socket_path"},

    // Trimming: every Unicode White_Space character, and nothing else.
    {"endpoint_blank", with("   "), kDefaultPipe},
    {"endpoint_trimmed", with(" \t\v\f\r\ntcp://h:1\n"), "tcp://h:1"},
    {"nbsp_nel_trimmed", with("\xC2\xA0\xC2\x85svc\xC2\xA0"), "pipe://svc"},
    {"ogham_en_quad_trimmed", with("\xE1\x9A\x80\xE2\x80\x80svc\xE2\x80\x8A"), "pipe://svc"},
    {"line_para_sep_trimmed", with("\xE2\x80\xA8svc\xE2\x80\xA9"), "pipe://svc"},
    {"narrow_nbsp_mmsp_ideographic_trimmed", with("\xE2\x80\xAF\xE2\x81\x9Fsvc\xE3\x80\x80"),
     "pipe://svc"},
    {"info_separators_kept", with("\x1Csvc\x1F"), "pipe://\x1Csvc\x1F"},
    {"zero_width_space_kept", with("\xE2\x80\x8Bsvc"), "pipe://\xE2\x80\x8Bsvc"},
    {"inner_space_kept", with("a b"), "pipe://a b"},
    {"host_trimmed", with({}, {}, " h "), "tcp://h:9096"},
    {"blank_host_absent", with({}, {}, "\xE3\x80\x80", 1), "tcp://127.0.0.1:1"},
    {"blank_socket_path_absent", with({}, "pipe", {}, {}, " "), kDefaultPipe},
    {"blank_pipe_name_absent", with({}, "socket", {}, {}, {}, "\t"), kDefaultPipe},
};

INSTANTIATE_TEST_SUITE_P(Config, ConfigResolution, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.label; });

TEST(ConfigResolutionFields, TokenAndPoolSizeKeptAsGiven) {
    ConfigArguments a;
    a.api_token = "  ";
    a.max_pool_size = 0;
    auto config = resolve_client_config(a);
    ASSERT_TRUE(config);
    EXPECT_EQ(config->api_token, std::optional<std::string>("  "));
    EXPECT_EQ(config->max_pool_size, 0u);
    EXPECT_EQ(config->endpoint.protocol(), "pipe");

    ConfigArguments empty_token;
    empty_token.api_token = "";
    EXPECT_EQ(resolve_client_config(empty_token)->api_token, std::optional<std::string>(""));
    EXPECT_EQ(resolve_client_config(ConfigArguments{})->api_token, std::nullopt);
    EXPECT_EQ(resolve_client_config(ConfigArguments{})->max_pool_size, 8u);
}

TEST(ConfigResolutionFields, TrimOnlyTouchesTheEnds) {
    EXPECT_EQ(trim_white_space(""), "");
    EXPECT_EQ(trim_white_space("\xE3\x80\x80 \xC2\x85"), "");
    // A lone lead byte or a truncated sequence is not white space and must not be over-read.
    EXPECT_EQ(trim_white_space("\xE2\x80"), "\xE2\x80");
    EXPECT_EQ(trim_white_space("x\xC2"), "x\xC2");
}

TEST(PipeSocketPath, PipeNamespaceMapsToTmp) {
    if (platform::kNamedPipes) {
        // Named pipes are opened by their own name.
        EXPECT_EQ(pipe_socket_path("\\\\.\\pipe\\zelto"), "\\\\.\\pipe\\zelto");
        return;
    }
    EXPECT_EQ(pipe_socket_path("\\\\.\\pipe\\zelto"), "/tmp/zelto");
    EXPECT_EQ(pipe_socket_path("\\\\.\\pipe\\a\\b"), "/tmp/a\\b");
    EXPECT_EQ(pipe_socket_path("./my.sock"), "./my.sock");
    EXPECT_EQ(pipe_socket_path("\\\\.\\pip\\x"), "\\\\.\\pip\\x");
}

}  // namespace
}  // namespace zelto
