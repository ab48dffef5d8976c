// The floor of the benchmark: the least work a client of each protocol can do, in plain C++.
//
// It speaks the same protocols to the same reference server as zelto_sdk, with everything that
// costs time stripped out: buffers are allocated once and reused, a request leaves in one
// gathering write, the answer is read into a preallocated buffer and shared-memory waits are a
// pure spin. What the library adds on top of this (Python objects, argument conversion, error
// handling, its specified waits) is what the benchmark measures.
//
// Socket reads block by default. With --spin they never block: a read that finds nothing yet
// gives the processor away (sched_yield) and tries again, which spares the wake-up of a sleeping
// thread (tens of microseconds on a virtual machine) at the price of a busy processor; it is the
// fastest a client can wait on this machine and the floor to compare a spinning client with.
//
// The program is driven through stdin like the other C++ client of the benchmark (engine.cpp):
// see line_driver.hpp for the commands.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "line_driver.hpp"

namespace {

using bench::Failure;
using bench::now_ns;

constexpr uint32_t kEchoModel = 1;
constexpr uint32_t kInferKind = 1;
constexpr uint32_t kHybridKind = 4;
constexpr uint64_t kBlockHeader = 80;
constexpr uint64_t kCapacity = 1021;
constexpr uint64_t kRequestEntry = 40;
constexpr uint64_t kResponseEntry = 48;

[[noreturn]] void fail_errno(const std::string& what) {
    throw Failure(what + ": " + std::strerror(errno));
}

uint64_t wall_ns() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return uint64_t(ts.tv_sec) * 1'000'000'000ULL + uint64_t(ts.tv_nsec);
}

void put_u32(uint8_t* out, uint32_t v) {
    std::memcpy(out, &v, 4);
}
void put_u64(uint8_t* out, uint64_t v) {
    std::memcpy(out, &v, 8);
}
uint32_t get_u32(const uint8_t* in) {
    uint32_t v;
    std::memcpy(&v, in, 4);
    return v;
}
uint64_t get_u64(const uint8_t* in) {
    uint64_t v;
    std::memcpy(&v, in, 8);
    return v;
}

void pause_cpu() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// ---- Byte streams ---------------------------------------------------------------------------

// Set by --spin: socket reads retry without blocking instead of sleeping.
bool spin_reads = false;

class Stream {
public:
    explicit Stream(int fd) : fd_(fd) {}
    ~Stream() { ::close(fd_); }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    void write_all(iovec* iov, int count) {
        while (count > 0) {
            msghdr message{};
            message.msg_iov = iov;
            message.msg_iovlen = static_cast<size_t>(count);
            ssize_t sent = ::sendmsg(fd_, &message, MSG_NOSIGNAL);
            if (sent < 0) {
                if (errno == EINTR) continue;
                fail_errno("send");
            }
            size_t left = static_cast<size_t>(sent);
            while (count > 0 && left >= iov->iov_len) {
                left -= iov->iov_len;
                ++iov;
                --count;
            }
            if (count > 0) {
                iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + left;
                iov->iov_len -= left;
            }
        }
    }

    void read_exact(uint8_t* out, size_t size) {
        while (size > 0) {
            ssize_t got = ::recv(fd_, out, size, spin_reads ? MSG_DONTWAIT : 0);
            if (got < 0) {
                if (errno == EINTR) continue;
                if (spin_reads && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                    sched_yield();
                    continue;
                }
                fail_errno("recv");
            }
            if (got == 0) throw Failure("the server closed the connection");
            out += got;
            size -= static_cast<size_t>(got);
        }
    }

private:
    int fd_;
};

std::unique_ptr<Stream> connect_tcp(const std::string& address) {
    auto colon = address.rfind(':');
    if (colon == std::string::npos) throw Failure("bad address " + address);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(std::stoi(address.substr(colon + 1))));
    if (inet_pton(AF_INET, address.substr(0, colon).c_str(), &where.sin_addr) != 1)
        throw Failure("bad address " + address);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fail_errno("socket");
    auto stream = std::make_unique<Stream>(fd);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0)
        fail_errno("connect " + address);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return stream;
}

std::unique_ptr<Stream> connect_unix(const std::string& path) {
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    if (path.size() >= sizeof where.sun_path) throw Failure("path too long");
    std::memcpy(where.sun_path, path.data(), path.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fail_errno("socket");
    auto stream = std::make_unique<Stream>(fd);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0)
        fail_errno("connect " + path);
    return stream;
}

// ---- Socket protocol ------------------------------------------------------------------------

// One echo round trip: FrameHeader + InferRequest {shape [n], "uint8", data, no base64, no
// extras, no session, no options}, then ResponseHeader + tensor payload.
class SocketFloor {
public:
    explicit SocketFloor(std::unique_ptr<Stream> stream) : stream_(std::move(stream)) {}

    void round_trip(const std::vector<uint8_t>& data, std::vector<uint8_t>& payload,
                    std::span<const uint8_t>& output) {
        const uint64_t n = data.size();
        // Header (12) + shape (16) + dtype text (13) + data tag and length (9).
        uint8_t head[12 + 16 + 13 + 9];
        const uint64_t body = sizeof head - 12 + n + sizeof kTail;
        put_u32(head, kEchoModel);
        put_u32(head + 4, kInferKind);
        put_u32(head + 8, static_cast<uint32_t>(body));
        put_u64(head + 12, 1);
        put_u64(head + 20, n);
        put_u64(head + 28, 5);
        std::memcpy(head + 36, "uint8", 5);
        head[41] = 1;
        put_u64(head + 42, n);
        iovec iov[3] = {{head, sizeof head},
                        {const_cast<uint8_t*>(data.data()), n},
                        {const_cast<uint8_t*>(kTail), sizeof kTail}};
        stream_->write_all(iov, 3);

        uint8_t response[8];
        stream_->read_exact(response, sizeof response);
        const uint32_t status = get_u32(response);
        const uint32_t size = get_u32(response + 4);
        if (payload.size() < size) payload.resize(size);
        stream_->read_exact(payload.data(), size);
        if (status != 0)
            throw Failure("server error: " + std::string(payload.begin(), payload.begin() + size));
        output = decode(std::span<const uint8_t>(payload.data(), size));
    }

private:
    // base64 absent, no additional inputs, no session id, no options.
    static constexpr uint8_t kTail[11] = {};

    static std::span<const uint8_t> decode(std::span<const uint8_t> p) {
        size_t at = 0;
        auto need = [&](size_t k) {
            if (p.size() - at < k) throw Failure("short payload");
        };
        need(8);
        uint64_t dims = get_u64(p.data());
        at = 8;
        if (dims > 8) throw Failure("unexpected shape");
        need(dims * 8 + 8);
        at += dims * 8;
        uint64_t text = get_u64(p.data() + at);
        at += 8;
        need(text + 1);
        at += text;
        if (p[at++] != 1) throw Failure("payload without raw data");
        need(8);
        uint64_t n = get_u64(p.data() + at);
        at += 8;
        need(n);
        return p.subspan(at, n);
    }

    std::unique_ptr<Stream> stream_;
};

// ---- Shared region --------------------------------------------------------------------------

class Region {
public:
    explicit Region(const std::string& name) {
        std::string path = "/" + name.substr(name.find_first_not_of('/'));
        int fd = ::shm_open(path.c_str(), O_RDWR, 0);
        if (fd < 0) fail_errno("shm_open " + name);
        struct stat st {};
        if (::fstat(fd, &st) != 0) fail_errno("fstat");
        size_ = static_cast<size_t>(st.st_size);
        void* base = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ::close(fd);
        if (base == MAP_FAILED) fail_errno("mmap");
        base_ = static_cast<uint8_t*>(base);
        if (get_u32(base_) != 0x41494D4F || get_u32(base_ + 4) != 1) throw Failure("bad header");
        requests_ = get_u64(base_ + 8);
        responses_ = get_u64(base_ + 16);
        slot_ = get_u64(base_ + 24);
        slot_size_ = get_u64(base_ + 32);
    }
    ~Region() { ::munmap(base_, size_); }
    Region(const Region&) = delete;
    Region& operator=(const Region&) = delete;

    // Writes the input TensorBlock (shape [n], code 0) at the start of the tensor area.
    uint64_t write_block(const std::vector<uint8_t>& data) {
        if (kBlockHeader + data.size() > slot_size_) throw Failure("tensor area too small");
        uint8_t* block = base_ + slot_;
        std::memset(block, 0, kBlockHeader);
        put_u32(block, 1);
        put_u64(block + 8, data.size());
        put_u64(block + 72, data.size());
        std::memcpy(block + kBlockHeader, data.data(), data.size());
        return slot_;
    }

    // Copies the data of the output block at `offset` into `out`.
    void read_block(uint64_t offset, std::vector<uint8_t>& out, std::span<const uint8_t>& view) {
        if (offset > size_ || size_ - offset < kBlockHeader) throw Failure("bad output offset");
        uint64_t n = get_u64(base_ + offset + 72);
        if (size_ - offset - kBlockHeader < n) throw Failure("bad output size");
        if (out.size() < n) out.resize(n);
        std::memcpy(out.data(), base_ + offset + kBlockHeader, n);
        view = std::span<const uint8_t>(out.data(), n);
    }

    std::atomic_ref<uint64_t> cell(uint64_t queue, uint64_t entry, int index) {
        return std::atomic_ref<uint64_t>(
            *reinterpret_cast<uint64_t*>(base_ + queue + uint64_t(index) * entry));
    }
    uint8_t* entry_slot(uint64_t queue, uint64_t entry, uint64_t slot) {
        return base_ + queue + (3 + slot) * entry;
    }

    // Lock-free push of a request entry (several producers may share the queue).
    void push_request(const uint8_t* entry) {
        auto tail = cell(requests_, kRequestEntry, 0);
        auto committed = cell(requests_, kRequestEntry, 1);
        auto head = cell(requests_, kRequestEntry, 2);
        uint64_t t = 0;
        for (;;) {
            t = tail.load();
            uint64_t n = (t + 1) % kCapacity;
            if (n == head.load()) throw Failure("request queue full");
            if (tail.compare_exchange_strong(t, n)) break;
        }
        uint8_t* slot = entry_slot(requests_, kRequestEntry, t);
        for (uint64_t i = 0; i < kRequestEntry; i += 8) {
            std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(slot + i))
                .store(get_u64(entry + i), std::memory_order_relaxed);
        }
        uint64_t expected = t;
        while (!committed.compare_exchange_weak(expected, (t + 1) % kCapacity)) {
            expected = t;
            pause_cpu();
        }
    }

    // Spins until the response for `id` arrives; returns its output offset. After the first
    // 50 us each round also offers the processor to other threads: on 2 cores the server may
    // be waiting for the one this spin holds.
    uint64_t await_response(uint64_t id) {
        auto committed = cell(responses_, kResponseEntry, 1);
        auto head = cell(responses_, kResponseEntry, 2);
        uint8_t entry[kResponseEntry];
        const uint64_t yield_after = now_ns() + 50'000;
        for (;;) {
            uint64_t h = head.load();
            if (h == committed.load()) {
                pause_cpu();
                if (now_ns() > yield_after) sched_yield();
                continue;
            }
            uint8_t* slot = entry_slot(responses_, kResponseEntry, h);
            for (uint64_t i = 0; i < kResponseEntry; i += 8) {
                uint64_t word = std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(slot + i))
                                    .load(std::memory_order_relaxed);
                put_u64(entry + i, word);
            }
            if (!head.compare_exchange_strong(h, (h + 1) % kCapacity)) continue;
            if (get_u64(entry) != id) continue;
            if (entry[8] != 0) throw Failure("server error");
            return get_u64(entry + 24);
        }
    }

private:
    uint8_t* base_ = nullptr;
    size_t size_ = 0;
    uint64_t requests_ = 0, responses_ = 0, slot_ = 0, slot_size_ = 0;
};

class ShmFloor {
public:
    explicit ShmFloor(const std::string& name) : region_(name) {}

    void round_trip(const std::vector<uint8_t>& data, std::vector<uint8_t>& out,
                    std::span<const uint8_t>& view) {
        const uint64_t id = next_id_++;
        uint64_t slot = region_.write_block(data);
        uint8_t entry[kRequestEntry] = {};
        put_u64(entry, id);
        put_u64(entry + 16, wall_ns());
        put_u64(entry + 24, slot);
        put_u64(entry + 32, kBlockHeader + data.size());
        region_.push_request(entry);
        region_.read_block(region_.await_response(id), out, view);
    }

private:
    Region region_;
    uint64_t next_id_ = 1;
};

class HybridFloor {
public:
    HybridFloor(const std::string& name, const std::string& path)
        : region_(name), stream_(connect_unix(path)) {}

    void round_trip(const std::vector<uint8_t>& data, std::vector<uint8_t>& out,
                    std::span<const uint8_t>& view) {
        uint64_t slot = region_.write_block(data);
        uint8_t frame[52] = {};
        put_u32(frame + 4, kHybridKind);
        put_u32(frame + 8, 40);
        put_u64(frame + 12, next_id_++);
        put_u64(frame + 28, wall_ns());
        put_u64(frame + 36, slot);
        put_u64(frame + 44, kBlockHeader + data.size());
        iovec iov[1] = {{frame, sizeof frame}};
        stream_->write_all(iov, 1);
        uint8_t head[8];
        stream_->read_exact(head, sizeof head);
        uint32_t size = get_u32(head + 4);
        if (size > 1 << 20) throw Failure("oversized hybrid answer");
        payload_.resize(size);
        stream_->read_exact(payload_.data(), size);
        if (get_u32(head) != 0)
            throw Failure("server error: " + std::string(payload_.begin(), payload_.end()));
        if (size < 40) throw Failure("short hybrid answer");
        region_.read_block(get_u64(payload_.data() + 24), out, view);
    }

private:
    Region region_;
    std::unique_ptr<Stream> stream_;
    std::vector<uint8_t> payload_;
    uint64_t next_id_ = 1;
};

// ---- Driver ---------------------------------------------------------------------------------

struct Floors {
    std::map<std::string, std::unique_ptr<SocketFloor>> sockets;
    std::map<std::string, std::unique_ptr<ShmFloor>> shms;
    std::map<std::string, std::unique_ptr<HybridFloor>> hybrids;
    std::vector<uint8_t> buffer;  // answers land here, reused across commands
};

std::string run_command(const bench::Command& command, Floors& floors) {
    std::span<const uint8_t> output;
    auto timed = [&](auto& floor) {
        return bench::measure(command, [&] {
            floor.round_trip(command.data, floors.buffer, output);
            return output;
        });
    };
    if (command.kind == "socket") {
        const std::string key = command.transport + " " + command.where;
        return timed(bench::kept_client(floors.sockets, key, [&] {
            return std::make_unique<SocketFloor>(command.transport == "tcp"
                                                     ? connect_tcp(command.where)
                                                     : connect_unix(command.where));
        }));
    }
    if (command.kind == "shm") {
        return timed(bench::kept_client(floors.shms, command.where,
                                        [&] { return std::make_unique<ShmFloor>(command.where); }));
    }
    return timed(bench::kept_client(floors.hybrids, command.where + " " + command.path, [&] {
        return std::make_unique<HybridFloor>(command.where, command.path);
    }));
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--spin") {
            spin_reads = true;
        } else {
            std::cerr << "usage: " << argv[0] << " [--spin]\n";
            return 2;
        }
    }
    Floors floors;
    return bench::serve_lines(
        [&](const bench::Command& command) { return run_command(command, floors); });
}
