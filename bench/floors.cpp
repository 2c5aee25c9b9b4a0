// The physical floors the engine is measured against, each printed as one JSON object on stdout:
//
//   bench_floors tcp    [--iters N] [--size 24]   loopback TCP ping-pong between two threads, Nagle left on
//   bench_floors ws     [--iters N] [--size 24]   the same as binary WebSocket messages, Beast to Beast
//   bench_floors bulk   [--iters N] [--mb 40]     one-way loopback TCP transfer of that many MB into a
//                                                 buffer already in memory, asked for by a 1-byte request
//   bench_floors ws-bulk [--iters N] [--mb 40]    the same as one binary WebSocket message from a Beast client
//                                                 (which masks it, as every client must) to a Beast server
//   bench_floors memcpy [--iters N] [--mb 40]     memcpy between two buffers already in memory, and into a
//                                                 fresh allocation (page faults included)
//
// Round trips are timed one by one on the client thread with a monotonic clock (samples_ns). The first
// 10% of the iterations (at least 100) are a warm-up and are not reported.

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using asio::ip::tcp;
using clock_type = std::chrono::steady_clock;

namespace {

struct Options {
    std::string mode;
    long iters = 20000;
    std::size_t size = 24;
    std::size_t mb = 40;
};

std::int64_t ns_since(clock_type::time_point t0) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(clock_type::now() - t0).count();
}

long warmup_of(long iters) { return std::max(100L, iters / 10); }

void print_samples(const char* floor, const std::vector<std::int64_t>& samples, const std::string& extra) {
    std::printf("{\"floor\": \"%s\"%s, \"samples_ns\": [", floor, extra.c_str());
    for (std::size_t i = 0; i < samples.size(); ++i) std::printf(i ? ", %lld" : "%lld", (long long)samples[i]);
    std::printf("]}\n");
}

// Blocking sockets, no TCP_NODELAY: each side writes one message in one write and waits for the other.
int tcp_floor(const Options& o) {
    asio::io_context ctx;
    tcp::acceptor acceptor(ctx, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    const auto endpoint = acceptor.local_endpoint();
    std::thread server([&] {
        tcp::socket s = acceptor.accept();
        std::vector<char> buf(o.size);
        boost::system::error_code ec;
        for (;;) {
            asio::read(s, asio::buffer(buf), ec);
            if (ec) return;
            asio::write(s, asio::buffer(buf), ec);
            if (ec) return;
        }
    });
    tcp::socket c(ctx);
    c.connect(endpoint);
    std::vector<char> out(o.size, 'x'), in(o.size);
    const long warm = warmup_of(o.iters);
    std::vector<std::int64_t> samples;
    samples.reserve(std::size_t(o.iters));
    for (long i = 0; i < warm + o.iters; ++i) {
        const auto t0 = clock_type::now();
        asio::write(c, asio::buffer(out));
        asio::read(c, asio::buffer(in));
        if (i >= warm) samples.push_back(ns_since(t0));
    }
    c.close();
    server.join();
    print_samples("tcp", samples, ", \"message_bytes\": " + std::to_string(o.size));
    return 0;
}

// Beast server and Beast client on two threads; every message is one binary frame.
int ws_floor(const Options& o) {
    asio::io_context ctx;
    tcp::acceptor acceptor(ctx, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    const auto endpoint = acceptor.local_endpoint();
    std::thread server([&] {
        websocket::stream<tcp::socket> ws(acceptor.accept());
        ws.auto_fragment(false);
        ws.accept();
        ws.binary(true);
        beast::flat_buffer buf;
        boost::system::error_code ec;
        for (;;) {
            buf.consume(buf.size());
            ws.read(buf, ec);
            if (ec) return;
            ws.write(buf.cdata(), ec);
            if (ec) return;
        }
    });
    websocket::stream<tcp::socket> ws(ctx);
    ws.next_layer().connect(endpoint);
    ws.auto_fragment(false);
    ws.handshake("127.0.0.1:" + std::to_string(endpoint.port()), "/");
    ws.binary(true);
    std::vector<char> out(o.size, 'x');
    beast::flat_buffer in;
    const long warm = warmup_of(o.iters);
    std::vector<std::int64_t> samples;
    samples.reserve(std::size_t(o.iters));
    for (long i = 0; i < warm + o.iters; ++i) {
        const auto t0 = clock_type::now();
        ws.write(asio::buffer(out));
        in.consume(in.size());
        ws.read(in);
        if (i >= warm) samples.push_back(ns_since(t0));
    }
    boost::system::error_code ec;
    ws.next_layer().shutdown(tcp::socket::shutdown_both, ec);
    ws.next_layer().close(ec);
    server.join();
    print_samples("ws", samples, ", \"message_bytes\": " + std::to_string(o.size));
    return 0;
}

// Whole-buffer socket calls. asio::read and asio::write cut a transfer into 64 KiB system calls, which on
// 40 MB costs as much again as the copies themselves.
void write_all(tcp::socket& s, const char* p, std::size_t n, boost::system::error_code& ec) {
    while (n && !ec) {
        const std::size_t k = s.write_some(asio::buffer(p, n), ec);
        p += k;
        n -= k;
    }
}

void read_all(tcp::socket& s, char* p, std::size_t n, boost::system::error_code& ec) {
    while (n && !ec) {
        const std::size_t k = s.read_some(asio::buffer(p, n), ec);
        p += k;
        n -= k;
    }
}

// What the kernel alone makes of a bulk message: the sender writes it with whole-buffer calls, the receiver
// reads it into warm memory. No framing, masking or decoding, so every byte costs two kernel copies only.
int bulk_floor(const Options& o) {
    const std::size_t n = o.mb * 1000 * 1000;
    asio::io_context ctx;
    tcp::acceptor acceptor(ctx, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    const auto endpoint = acceptor.local_endpoint();
    std::thread server([&] {
        tcp::socket s = acceptor.accept();
        s.set_option(tcp::no_delay(true));  // the bulk floors are the transfer, not Nagle's wait for an ack
        std::vector<char> payload(n, 'x');
        char request = 0;
        boost::system::error_code ec;
        for (;;) {
            read_all(s, &request, 1, ec);
            if (!ec) write_all(s, payload.data(), n, ec);
            if (ec) return;
        }
    });
    tcp::socket c(ctx);
    c.connect(endpoint);
    c.set_option(tcp::no_delay(true));
    std::vector<char> in(n, 0);
    const char request = 'r';
    std::vector<std::int64_t> samples;
    boost::system::error_code ec;
    for (long i = 0; i < 3 + o.iters && !ec; ++i) {
        const auto t0 = clock_type::now();
        write_all(c, &request, 1, ec);
        if (!ec) read_all(c, in.data(), n, ec);
        if (i >= 3 && !ec) samples.push_back(ns_since(t0));
    }
    if (ec) throw boost::system::system_error(ec);
    c.close();
    server.join();
    print_samples("bulk", samples, ", \"bytes\": " + std::to_string(n));
    return 0;
}

// What a bulk message costs as WebSocket traffic, with no engine around it: the client masks its 40 MB
// through a 1 MiB write buffer (as bench_peer does) and the server reads and unmasks it into a buffer it
// keeps from one message to the next.
int ws_bulk_floor(const Options& o) {
    const std::size_t n = o.mb * 1000 * 1000;
    asio::io_context ctx;
    tcp::acceptor acceptor(ctx, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    const auto endpoint = acceptor.local_endpoint();
    std::thread peer([&] {
        websocket::stream<tcp::socket> ws(ctx);
        ws.next_layer().connect(endpoint);
        ws.next_layer().set_option(tcp::no_delay(true));
        ws.auto_fragment(false);
        ws.write_buffer_bytes(1u << 20);
        ws.handshake("127.0.0.1:" + std::to_string(endpoint.port()), "/");
        ws.binary(true);
        std::vector<char> payload(n, 'x');
        beast::flat_buffer request;
        boost::system::error_code ec;
        for (;;) {
            request.consume(request.size());
            ws.read(request, ec);
            if (!ec) ws.write(asio::buffer(payload), ec);
            if (ec) return;
        }
    });
    websocket::stream<tcp::socket> ws(acceptor.accept());
    ws.next_layer().set_option(tcp::no_delay(true));
    ws.auto_fragment(false);
    ws.read_message_max(n + 1);
    ws.accept();
    ws.binary(true);
    const char request = 'r';
    beast::flat_buffer in;
    std::vector<std::int64_t> samples;
    for (long i = 0; i < 3 + o.iters; ++i) {
        const auto t0 = clock_type::now();
        ws.write(asio::buffer(&request, 1));
        in.consume(in.size());
        ws.read(in);
        if (i >= 3) samples.push_back(ns_since(t0));
    }
    boost::system::error_code ec;
    ws.next_layer().shutdown(tcp::socket::shutdown_both, ec);
    ws.next_layer().close(ec);
    peer.join();
    print_samples("ws-bulk", samples, ", \"bytes\": " + std::to_string(n));
    return 0;
}

int memcpy_floor(const Options& o) {
    const std::size_t n = o.mb * 1000 * 1000;
    std::vector<char> src(n), dst(n);
    std::memset(src.data(), 1, n);
    std::memset(dst.data(), 2, n);
    const long iters = o.iters;
    std::vector<std::int64_t> warm_samples, fresh;
    for (long i = 0; i < 3; ++i) std::memcpy(dst.data(), src.data(), n);
    for (long i = 0; i < iters; ++i) {
        const auto t0 = clock_type::now();
        std::memcpy(dst.data(), src.data(), n);
        warm_samples.push_back(ns_since(t0));
        asm volatile("" : : "r"(dst.data()) : "memory");
    }
    for (long i = 0; i < iters; ++i) {
        const auto t0 = clock_type::now();
        char* p = static_cast<char*>(std::malloc(n));
        std::memcpy(p, src.data(), n);
        asm volatile("" : : "r"(p) : "memory");
        std::free(p);
        fresh.push_back(ns_since(t0));
    }
    std::printf("{\"floor\": \"memcpy\", \"bytes\": %zu, \"samples_ns\": [", n);
    for (std::size_t i = 0; i < warm_samples.size(); ++i) std::printf(i ? ", %lld" : "%lld", (long long)warm_samples[i]);
    std::printf("], \"fresh_samples_ns\": [");
    for (std::size_t i = 0; i < fresh.size(); ++i) std::printf(i ? ", %lld" : "%lld", (long long)fresh[i]);
    std::printf("]}\n");
    return 0;
}

[[noreturn]] void usage() {
    std::fprintf(stderr, "usage: bench_floors tcp|ws|bulk|ws-bulk|memcpy [--iters N] [--size BYTES] [--mb MB]\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) usage();
    Options o;
    o.mode = argv[1];
    if (o.mode == "memcpy" || o.mode == "bulk" || o.mode == "ws-bulk") o.iters = 50;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) usage();
        const char* value = argv[++i];
        if (arg == "--iters") {
            o.iters = std::max(1L, std::atol(value));
        } else if (arg == "--size") {
            o.size = std::size_t(std::max(1L, std::atol(value)));
        } else if (arg == "--mb") {
            o.mb = std::size_t(std::max(1L, std::atol(value)));
        } else {
            usage();
        }
    }
    try {
        if (o.mode == "tcp") return tcp_floor(o);
        if (o.mode == "ws") return ws_floor(o);
        if (o.mode == "bulk") return bulk_floor(o);
        if (o.mode == "ws-bulk") return ws_bulk_floor(o);
        if (o.mode == "memcpy") return memcpy_floor(o);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_floors: %s\n", e.what());
        return 1;
    }
    usage();
}
