// A native UI peer for benchmarking: connects to one or more engines as a WebSocket client (Beast) and
// answers every request at once with a canned payload per fnId, so the engine is what gets measured.
//
//   bench_peer --port 8765 [--port 8766 ...] [--host 127.0.0.1] [--threads 1] [--ohlc-rows 1000000]
//              [--max-seconds 900]
//
// Canned answers (element i of each array, counting from 0, row-major; the Python side rebuilds them in
// bench/canned.py for the correctness check):
//   12 get_snapshot     VecF64 of 1 element        12 + 0.5 i
//   130 step_and_sync   VecMatF64: VecF64 of 8     130 + 0.5 i, then MatF64 64 x 8   -(130 + 0.5 i)
//   15 get_ohlc         MatF64 rows x 5            15 + 0.5 i   (rows = --ohlc-rows)
//   100 init_candles, 2 step_next                  empty
//   10, 30, 40, 31      MatF64 4x6, 3x4, 1x3, 2x2  fnId + 0.5 i
//   20, 21              VecF64 of 4, of 3          fnId + 0.5 i
//   101 reset_episode   u32 7;  102 get_rl_config {"seed":1};  120 get_sync_policy  byte 1
//   anything else       ErrorResponse err 1, sub 0, "unknown fnId"
// Requests are read whole and not checked beyond their header. The peer ends when all its connections
// have ended, or after --max-seconds.

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using asio::ip::tcp;

namespace {

using Bytes = std::vector<std::uint8_t>;

void put_u32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(std::uint8_t(v >> (8 * i)));
}

void put_f64s(Bytes& b, std::size_t n, double base, double sign) {
    const std::size_t at = b.size();
    b.resize(at + 8 * n);
    for (std::size_t i = 0; i < n; ++i) {
        const double v = sign * (base + 0.5 * double(i));
        std::memcpy(b.data() + at + 8 * i, &v, 8);
    }
}

Bytes vec_f64(std::uint16_t fn, std::uint32_t n) {
    Bytes b;
    b.reserve(4 + 8 * std::size_t(n));
    put_u32(b, n);
    put_f64s(b, n, fn, 1.0);
    return b;
}

Bytes mat_f64(std::uint16_t fn, std::uint32_t rows, std::uint32_t cols, double sign = 1.0) {
    Bytes b;
    b.reserve(8 + 8 * std::size_t(rows) * cols);
    put_u32(b, rows);
    put_u32(b, cols);
    put_f64s(b, std::size_t(rows) * cols, fn, sign);
    return b;
}

struct Answer {
    std::uint8_t kind = 2;  // Response, or 3 for ErrorResponse
    Bytes payload;
};

struct Table {
    std::map<std::uint16_t, Answer> answers;
    Answer unknown;

    explicit Table(std::uint32_t ohlc_rows) {
        answers[12] = {2, vec_f64(12, 1)};
        Bytes step = vec_f64(130, 8);
        const Bytes window = mat_f64(130, 64, 8, -1.0);
        step.insert(step.end(), window.begin(), window.end());
        answers[130] = {2, std::move(step)};
        answers[15] = {2, mat_f64(15, ohlc_rows, 5)};
        answers[100] = {2, {}};
        answers[2] = {2, {}};
        answers[10] = {2, mat_f64(10, 4, 6)};
        answers[30] = {2, mat_f64(30, 3, 4)};
        answers[40] = {2, mat_f64(40, 1, 3)};
        answers[31] = {2, mat_f64(31, 2, 2)};
        answers[20] = {2, vec_f64(20, 4)};
        answers[21] = {2, vec_f64(21, 3)};
        Bytes episode;
        put_u32(episode, 7);
        answers[101] = {2, std::move(episode)};
        const std::string config = "{\"seed\":1}";
        answers[102] = {2, Bytes(config.begin(), config.end())};
        answers[120] = {2, Bytes{1}};
        const std::string text = "unknown fnId";
        unknown.kind = 3;
        unknown.payload = {1, 0, 0, 0};
        put_u32(unknown.payload, std::uint32_t(text.size()));
        unknown.payload.insert(unknown.payload.end(), text.begin(), text.end());
    }

    const Answer& find(std::uint16_t fn) const {
        auto it = answers.find(fn);
        return it == answers.end() ? unknown : it->second;
    }
};

std::atomic<int> live_connections{0};
std::atomic<std::uint64_t> requests_answered{0};

asio::awaitable<void> serve(std::string host, std::uint16_t port, const Table& table) {
    auto ex = co_await asio::this_coro::executor;
    const tcp::endpoint endpoint(asio::ip::make_address(host), port);
    beast::tcp_stream stream(ex);
    // The engine may still be starting its listener: retry for up to 20 s.
    asio::steady_timer pause(ex);
    for (int attempt = 0;; ++attempt) {
        auto [ec] = co_await stream.socket().async_connect(endpoint, asio::as_tuple(asio::use_awaitable));
        if (!ec) break;
        stream.socket().close();
        if (attempt == 400) {
            std::fprintf(stderr, "bench_peer: cannot connect to %s:%u: %s\n", host.c_str(), port,
                         ec.message().c_str());
            --live_connections;
            co_return;
        }
        pause.expires_after(std::chrono::milliseconds(50));
        co_await pause.async_wait(asio::as_tuple(asio::use_awaitable));
    }

    // As browsers and Node do: otherwise the last part of a large answer can wait for the engine's delayed
    // acknowledgement (up to 40 ms), which would be timed as the engine's.
    stream.socket().set_option(tcp::no_delay(true));
    websocket::stream<beast::tcp_stream> ws(std::move(stream));
    ws.auto_fragment(false);          // one frame per message, as the engine sends them
    ws.write_buffer_bytes(1u << 20);  // the client masks its frames through this buffer
    ws.read_message_max(std::uint64_t(1) << 31);
    if (auto [ec] = co_await ws.async_handshake(host + ":" + std::to_string(port), "/",
                                                asio::as_tuple(asio::use_awaitable));
        ec) {
        std::fprintf(stderr, "bench_peer: handshake with port %u failed: %s\n", port, ec.message().c_str());
        --live_connections;
        co_return;
    }
    ws.binary(true);

    beast::flat_buffer in;
    std::array<std::uint8_t, 16> header{};
    for (;;) {
        in.consume(in.size());  // keeps its capacity for the next message
        auto [ec, n] = co_await ws.async_read(in, asio::as_tuple(asio::use_awaitable));
        (void)n;
        if (ec) break;
        if (ws.got_text() || in.size() < 16) continue;  // the greeting, or nothing for us
        const auto* p = static_cast<const std::uint8_t*>(in.cdata().data());
        if (p[1] != 1) continue;  // only requests are answered
        const std::uint32_t seq = std::uint32_t(p[4]) | std::uint32_t(p[5]) << 8 | std::uint32_t(p[6]) << 16 |
                                  std::uint32_t(p[7]) << 24;
        const std::uint16_t fn = std::uint16_t(p[8] | p[9] << 8);
        const Answer& a = table.find(fn);
        const auto len = std::uint32_t(a.payload.size());
        header = {1, a.kind, 0, 0, std::uint8_t(seq), std::uint8_t(seq >> 8), std::uint8_t(seq >> 16),
                  std::uint8_t(seq >> 24), std::uint8_t(fn), std::uint8_t(fn >> 8), 0, 0, std::uint8_t(len),
                  std::uint8_t(len >> 8), std::uint8_t(len >> 16), std::uint8_t(len >> 24)};
        const std::array<asio::const_buffer, 2> frame{asio::buffer(header), asio::buffer(a.payload)};
        auto [wec, wn] = co_await ws.async_write(frame, asio::as_tuple(asio::use_awaitable));
        (void)wn;
        if (wec) break;
        ++requests_answered;
    }
    --live_connections;
}

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: bench_peer --port P [--port P ...] [--host 127.0.0.1] [--threads N] "
                 "[--ohlc-rows R] [--max-seconds S]\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    std::string host = "127.0.0.1";
    std::vector<std::uint16_t> ports;
    unsigned threads = 1;
    std::uint32_t ohlc_rows = 1000000;
    long max_seconds = 900;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) usage();
        const char* value = argv[++i];
        if (arg == "--port") {
            ports.push_back(std::uint16_t(std::atoi(value)));
        } else if (arg == "--host") {
            host = value;
        } else if (arg == "--threads") {
            threads = unsigned(std::max(1, std::atoi(value)));
        } else if (arg == "--ohlc-rows") {
            ohlc_rows = std::uint32_t(std::strtoul(value, nullptr, 10));
        } else if (arg == "--max-seconds") {
            max_seconds = std::atol(value);
        } else {
            usage();
        }
    }
    if (ports.empty()) usage();

    const Table table(ohlc_rows);
    asio::io_context ctx{static_cast<int>(threads)};
    live_connections = int(ports.size());
    for (const auto port : ports) asio::co_spawn(ctx, serve(host, port, table), asio::detached);

    // A bounded life: a forgotten peer stops by itself.
    asio::steady_timer watchdog(ctx, std::chrono::seconds(max_seconds));
    watchdog.async_wait([&ctx](boost::system::error_code ec) {
        if (!ec) ctx.stop();
    });
    asio::steady_timer poll(ctx);
    std::function<void()> check = [&] {
        if (live_connections.load() == 0) {
            watchdog.cancel();
            return;
        }
        poll.expires_after(std::chrono::milliseconds(100));
        poll.async_wait([&](boost::system::error_code ec) {
            if (!ec) check();
        });
    };
    check();

    std::vector<std::thread> pool;
    for (unsigned i = 1; i < threads; ++i) pool.emplace_back([&ctx] { ctx.run(); });
    ctx.run();
    for (auto& t : pool) t.join();
    std::fprintf(stderr, "bench_peer: answered %llu requests\n",
                 static_cast<unsigned long long>(requests_answered.load()));
    return 0;
}
