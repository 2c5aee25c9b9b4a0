#include "engine.hpp"

#include "args.hpp"
#include "boundary.hpp"
#include "bridge.hpp"
#include "codec.hpp"
#include "decode.hpp"
#include "endpoint.hpp"
#include "frame.hpp"
#include "le.hpp"
#include "listener.hpp"
#include "py.hpp"
#include "requests.hpp"
#include "runtime.hpp"
#include "transport.hpp"

#include <array>
#include <cmath>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace engine {
namespace {

using namespace args;
using frame::FnId;

// Immutable after construction but for `executor`, which only the thread holding the interpreter lock sets;
// the shared handles inside `endpoint` carry all mutable state.
struct EngineState {
    std::string host;
    std::uint16_t port;
    std::uint32_t start_seq;
    std::shared_ptr<Endpoint> endpoint;
    std::uint64_t generation;  // the runtime's, when the engine was made
    std::optional<boost::asio::any_io_executor> executor;  // the worker its tasks run on, from its first call
};

struct EngineObject {
    PyObject_HEAD
    EngineState* state;
};

EngineState& state_of(PyObject* self) { return *reinterpret_cast<EngineObject*>(self)->state; }

// ---- Launching ---------------------------------------------------------------------------------------

constexpr Duration default_timeout{10, 0};

// A payload buffer with room for the frame header in front.
constexpr std::size_t headroom = frame::header_size;

// The worker that runs an engine's tasks, chosen at its first call; null with RuntimeError set when the
// engine was made before this process was forked from its parent, whose listener and peer it holds.
const boost::asio::any_io_executor* executor_of(EngineState& s) {
    if (s.generation != runtime::generation()) {
        PyErr_SetString(PyExc_RuntimeError,
                        "this RustEngineAsync was created before the process forked and belongs to the parent "
                        "process; create a new engine in this process");
        return nullptr;
    }
    if (!s.executor) {
        try {
            s.executor = runtime::next_worker();
        } catch (const std::system_error& e) {  // no threads to be had
            PyErr_Format(PyExc_RuntimeError, "failed to start the I/O runtime: %s", e.what());
            return nullptr;
        }
    }
    return &*s.executor;
}

PyObject* launch_call(PyObject* self, FnId fn_id, codec::Bytes frame, Duration timeout, Finish finish) {
    EngineState& s = state_of(self);
    const auto* executor = executor_of(s);
    if (!executor) return nullptr;
    return launch(*executor, rpc_call(s.endpoint, std::uint16_t(fn_id), std::move(frame), timeout), finish);
}

// The timeout of a command: its default for None, else a checked duration (checked after the payload).
std::optional<Duration> command_timeout(const std::optional<double>& secs, Duration fallback) {
    if (!secs) return fallback;
    return to_duration(*secs);
}

// Launches a call whose payload may have failed to build (a count beyond 32 bits).
PyObject* launch_built(PyObject* self, FnId fn_id, Result<codec::Bytes> frame, const std::optional<double>& secs,
                       Finish finish) {
    if (!frame) {
        set_python_error(frame.error());
        return nullptr;
    }
    auto timeout = command_timeout(secs, default_timeout);
    if (!timeout) return nullptr;
    return launch_call(self, fn_id, std::move(frame).value(), *timeout, finish);
}

// ---- Results ------------------------------------------------------------------------------------------

PyObject* result_none(Response&) { Py_RETURN_NONE; }

PyObject* result_episode(Response& r) {
    const codec::ByteSpan p = r.payload();
    return PyLong_FromUnsignedLong(p.size() >= 4 ? le::load_u32(p.data()) : 0);
}

PyObject* result_text(Response& r) {
    const codec::ByteSpan p = r.payload();
    if (!frame::utf8_valid(p)) return PyUnicode_FromString("{}");
    return PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(p.data()), Py_ssize_t(p.size()));
}

PyObject* result_sync_policy(Response& r) {
    const codec::ByteSpan p = r.payload();
    if (!p.empty() && p[0] == 0) return PyUnicode_FromString("deferred");
    if (!p.empty() && p[0] == 1) return PyUnicode_FromString("eager");
    Py_RETURN_NONE;
}

PyObject* result_vec(Response& r) { return vec_f64_to_py(r.payload()); }
PyObject* result_mat(Response& r) { return mat_f64_adopting(r); }
PyObject* result_step_and_sync(Response& r) { return vec_mat_f64_adopting(r); }

// ---- Construction ------------------------------------------------------------------------------------

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 3> names = {"host", "port", "start_seq"};
    std::array<PyObject*, 3> a;
    if (!args::bind("RustEngineAsync", names, 2, args, kwargs, a)) return nullptr;
    auto host = to_utf8(a[0], "host");
    if (!host) return nullptr;
    auto port = to_integer(a[1], "port", 0, 65535);
    if (!port) return nullptr;
    std::uint32_t start_seq = 1;
    if (a[2] && a[2] != Py_None) {
        auto v = to_integer(a[2], "start_seq", 0, 4294967295LL);
        if (!v) return nullptr;
        start_seq = std::uint32_t(*v);
    }

    auto state = std::make_unique<EngineState>(EngineState{std::move(*host), std::uint16_t(*port), start_seq,
                                                           std::make_shared<Endpoint>(start_seq),
                                                           runtime::generation(), std::nullopt});
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<EngineObject*>(self)->state = state.release();
    return self;
}

void engine_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    EngineState* state = reinterpret_cast<EngineObject*>(self)->state;
    // An engine from before a fork is left alone: its sockets and worker belong to the parent.
    if (state && state->generation == runtime::generation()) delete state;
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// ---- Lifecycle ---------------------------------------------------------------------------------------

PyObject* engine_start(PyObject* self, PyObject*) {
    EngineState& s = state_of(self);
    const auto* executor = executor_of(s);
    if (!executor) return nullptr;
    return launch(*executor, start_endpoint(s.endpoint, s.host, s.port), result_none);
}

PyObject* engine_wait_connected(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 1> names = {"timeout_secs"};
    std::array<PyObject*, 1> a;
    if (!args::bind("wait_connected", names, 0, args, kwargs, a)) return nullptr;
    std::optional<double> secs;
    if (!to_optional_double(a[0], "timeout_secs", secs)) return nullptr;
    std::optional<Duration> timeout;
    if (secs) {
        timeout = to_duration(*secs);
        if (!timeout) return nullptr;
    }
    EngineState& s = state_of(self);
    const auto* executor = executor_of(s);
    if (!executor) return nullptr;
    return launch(*executor, wait_connected(s.endpoint, timeout), result_none);
}

// ---- Commands with no arguments but the timeout ------------------------------------------------------

template <FnId Fn, Finish F, std::uint64_t DefaultSecs = 10>
PyObject* simple_command(PyObject* self, PyObject* args, PyObject* kwargs, const char* name) {
    static constexpr std::array<const char*, 1> names = {"timeout_secs"};
    std::array<PyObject*, 1> a;
    if (!args::bind(name, names, 0, args, kwargs, a)) return nullptr;
    std::optional<double> secs;
    if (!to_optional_double(a[0], "timeout_secs", secs)) return nullptr;
    auto timeout = command_timeout(secs, Duration{DefaultSecs, 0});
    if (!timeout) return nullptr;
    return launch_call(self, Fn, codec::Bytes(headroom), *timeout, F);
}

#define SIMPLE_COMMAND(method, fn_id, finish, ...)                                   \
    PyObject* engine_##method(PyObject* self, PyObject* args, PyObject* kwargs) {    \
        return simple_command<fn_id, finish, ##__VA_ARGS__>(self, args, kwargs, #method); \
    }

SIMPLE_COMMAND(get_rl_config, FnId::GetRlConfig, result_text)
SIMPLE_COMMAND(step_next, FnId::StepNext, result_none)
SIMPLE_COMMAND(step_and_sync, FnId::StepAndSync, result_step_and_sync)
SIMPLE_COMMAND(get_snapshot, FnId::GetSnapshot, result_vec)
SIMPLE_COMMAND(get_ticket_list, FnId::GetTicketList, result_mat)
SIMPLE_COMMAND(get_ohlc, FnId::GetOhlc, result_mat)
SIMPLE_COMMAND(fetch_events, FnId::FetchEvents, result_mat)
SIMPLE_COMMAND(end_session, FnId::EndSession, result_mat)
SIMPLE_COMMAND(get_sync_policy, FnId::GetSyncPolicy, result_sync_policy, 5)
#undef SIMPLE_COMMAND

// ---- init_candles and reset_episode ------------------------------------------------------------------

PyObject* engine_init_candles(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 2> names = {"ohlc5", "timeout_secs"};
    std::array<PyObject*, 2> a;
    if (!args::bind("init_candles", names, 1, args, kwargs, a)) return nullptr;
    std::optional<double> secs;
    if (!to_optional_double(a[1], "timeout_secs", secs)) return nullptr;
    if (!check_array(a[0], nullptr, 2, typenum_float64)) return nullptr;
    std::optional<codec::Bytes> frame = mat_f64_from_py(a[0], headroom);
    if (!frame) return nullptr;
    auto timeout = command_timeout(secs, default_timeout);
    if (!timeout) return nullptr;
    return launch_call(self, FnId::InitCandles, std::move(*frame), *timeout, result_none);
}

PyObject* engine_reset_episode(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 3> names = {"episode_index", "episode_type", "timeout_secs"};
    std::array<PyObject*, 3> a;
    if (!args::bind("reset_episode", names, 2, args, kwargs, a)) return nullptr;
    auto index = to_integer(a[0], "episode_index", 0, 4294967295LL);
    if (!index) return nullptr;
    if (!PyUnicode_Check(a[1])) {
        set_not_convertible("episode_type", a[1], "PyString");
        return nullptr;
    }
    std::optional<double> secs;
    if (!to_optional_double(a[2], "timeout_secs", secs)) return nullptr;

    // Full Unicode lowercasing, as str.lower does it (called on str itself, so a subclass cannot change it).
    py::object lowered = py::object::steal(
        PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", a[1]));
    if (!lowered) return nullptr;
    const bool test = PyUnicode_CompareWithASCIIString(lowered.get(), "test") == 0;

    auto timeout = command_timeout(secs, default_timeout);
    if (!timeout) return nullptr;
    return launch_call(self, FnId::ResetEpisode, requests::reset_episode(std::uint32_t(*index), test, headroom),
                       *timeout, result_episode);
}

// ---- Trading commands --------------------------------------------------------------------------------

bool is_white_space(Py_UCS4 c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Trims Unicode White_Space at both ends and lowercases A to Z only; other characters stay as they are.
std::optional<std::u32string> normalised_word(PyObject* str) {
    Py_UCS4* chars = PyUnicode_AsUCS4Copy(str);
    if (!chars) return std::nullopt;
    const Py_ssize_t n = PyUnicode_GetLength(str);
    std::u32string s(chars, chars + n);
    PyMem_Free(chars);
    std::size_t b = 0, e = s.size();
    while (b < e && is_white_space(s[b])) ++b;
    while (e > b && is_white_space(s[e - 1])) --e;
    s = s.substr(b, e - b);
    for (auto& c : s)
        if (c >= U'A' && c <= U'Z') c += U'a' - U'A';
    return s;
}

bool value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return false;
}

bool check_exit_level(const std::optional<double>& v) {
    if (v && (!std::isfinite(*v) || *v < 0.0)) return value_error("value must be finite and >= 0");
    return true;
}

// Parses the side: true for buy, false for sell.
std::optional<bool> parse_side(PyObject* side) {
    auto word = normalised_word(side);
    if (!word) return std::nullopt;
    if (*word == U"buy") return true;
    if (*word == U"sell") return false;
    value_error("side must be 'buy' or 'sell'");
    return std::nullopt;
}

PyObject* engine_place_order(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 9> names = {"side",      "order_type",    "price",
                                                         "units",     "take_profit",   "stop_loss",
                                                         "trailing_stop", "time_limit", "timeout_secs"};
    std::array<PyObject*, 9> a;
    if (!args::bind("place_order", names, 4, args, kwargs, a)) return nullptr;
    auto side = to_str_arg(a[0], "side");
    if (!side) return nullptr;
    auto order_type = to_str_arg(a[1], "order_type");
    if (!order_type) return nullptr;
    auto price = to_double(a[2], "price");
    if (!price) return nullptr;
    auto units = to_integer(a[3], "units", INT32_MIN, INT32_MAX);
    if (!units) return nullptr;
    std::optional<double> tp, sl, ts, tl, secs;
    if (!to_optional_double(a[4], "take_profit", tp) || !to_optional_double(a[5], "stop_loss", sl) ||
        !to_optional_double(a[6], "trailing_stop", ts) || !to_optional_double(a[7], "time_limit", tl) ||
        !to_optional_double(a[8], "timeout_secs", secs)) {
        return nullptr;
    }

    auto buy = parse_side(*side);
    if (!buy) return nullptr;
    auto kind = normalised_word(*order_type);
    if (!kind) return nullptr;
    if (*kind != U"limit" && *kind != U"stop") return value_error("order_type must be 'limit' or 'stop'"), nullptr;
    if (!std::isfinite(*price)) return value_error("price must be finite"), nullptr;
    if (*units < 1) return value_error("units must be > 0"), nullptr;
    if (!check_exit_level(tp) || !check_exit_level(sl) || !check_exit_level(ts)) return nullptr;

    const requests::Order order{*buy, *kind == U"limit", *price, std::int32_t(*units), tp, sl, ts, tl};
    return launch_built(self, FnId::PlaceOrder, requests::place_order(order, headroom), secs, result_vec);
}

PyObject* engine_place_ticket(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 6> names = {"side",      "units",         "take_profit",
                                                         "stop_loss", "trailing_stop", "timeout_secs"};
    std::array<PyObject*, 6> a;
    if (!args::bind("place_ticket", names, 2, args, kwargs, a)) return nullptr;
    auto side = to_str_arg(a[0], "side");
    if (!side) return nullptr;
    auto units = to_integer(a[1], "units", INT32_MIN, INT32_MAX);
    if (!units) return nullptr;
    std::optional<double> tp, sl, ts, secs;
    if (!to_optional_double(a[2], "take_profit", tp) || !to_optional_double(a[3], "stop_loss", sl) ||
        !to_optional_double(a[4], "trailing_stop", ts) || !to_optional_double(a[5], "timeout_secs", secs)) {
        return nullptr;
    }

    auto buy = parse_side(*side);
    if (!buy) return nullptr;
    if (*units < 1) return value_error("units must be > 0"), nullptr;
    if (!check_exit_level(tp) || !check_exit_level(sl) || !check_exit_level(ts)) return nullptr;

    const requests::Ticket ticket{*buy, std::int32_t(*units), tp, sl, ts};
    return launch_built(self, FnId::PlaceTicket, requests::place_ticket(ticket, headroom), secs, result_vec);
}

PyObject* engine_close_positions(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 4> names = {"position_ids", "actions", "ratios", "timeout_secs"};
    std::array<PyObject*, 4> a;
    if (!args::bind("close_positions", names, 3, args, kwargs, a)) return nullptr;
    std::optional<double> secs;
    if (!to_optional_double(a[3], "timeout_secs", secs)) return nullptr;
    auto ids = to_vector<std::int32_t>(a[0], element_i32);
    if (!ids) return nullptr;
    auto actions = to_vector<std::int32_t>(a[1], element_i32);
    if (!actions) return nullptr;
    auto ratios = to_vector<double>(a[2], element_f64);
    if (!ratios) return nullptr;

    if (ids->size() != actions->size() || ids->size() != ratios->size()) {
        return value_error("close_positions: arrays must have equal length"), nullptr;
    }
    constexpr std::int32_t reduce = 2;
    for (std::size_t i = 0; i < ratios->size(); ++i) {
        double& r = (*ratios)[i];
        if ((*actions)[i] != reduce) {
            r = 0.0;  // only a reduce carries a ratio
        } else if (!(r >= 0.0 && r <= 1.0)) {
            return value_error("ratio out of range for reduce"), nullptr;
        }
    }

    return launch_built(self, FnId::ClosePositions, codec::encode_close_step(*ids, *actions, *ratios, headroom), secs,
                        result_mat);
}

// ---- The type ----------------------------------------------------------------------------------------

#define KW_METHOD(name, doc) \
    {#name, keywords_function(guarded<engine_##name>), METH_VARARGS | METH_KEYWORDS, doc}

PyMethodDef engine_methods[] = {
    {"start", guarded<engine_start>, METH_NOARGS, "start($self)\n--\n\n"},
    KW_METHOD(wait_connected, "wait_connected($self, timeout_secs=None)\n--\n\n"),
    KW_METHOD(init_candles, "init_candles($self, ohlc5, timeout_secs=None)\n--\n\n"),
    KW_METHOD(reset_episode, "reset_episode($self, episode_index, episode_type, timeout_secs=None)\n--\n\n"
                             "Reset to a specific episode by index.\n"
                             "Payload: [u32 episode_index, u8 episode_type (0=train, 1=test)]"),
    KW_METHOD(get_rl_config, "get_rl_config($self, timeout_secs=None)\n--\n\n"
                             "Get RL config from UI (seed, episode counts, etc.). Returns JSON string."),
    KW_METHOD(step_next, "step_next($self, timeout_secs=None)\n--\n\n"),
    KW_METHOD(step_and_sync, "step_and_sync($self, timeout_secs=None)\n--\n\n"),
    KW_METHOD(get_snapshot, "get_snapshot($self, timeout_secs=None)\n--\n\n"),
    KW_METHOD(get_ticket_list, "get_ticket_list($self, timeout_secs=None)\n--\n\n"),
    KW_METHOD(get_ohlc, "get_ohlc($self, timeout_secs=None)\n--\n\n"),
    KW_METHOD(fetch_events, "fetch_events($self, timeout_secs=None)\n--\n\n"),
    KW_METHOD(end_session, "end_session($self, timeout_secs=None)\n--\n\n"),
    KW_METHOD(get_sync_policy, "get_sync_policy($self, timeout_secs=None)\n--\n\n"),
    KW_METHOD(close_positions, "close_positions($self, position_ids, actions, ratios, timeout_secs=None)\n--\n\n"),
    KW_METHOD(place_order, "place_order($self, side, order_type, price, units, take_profit=None, stop_loss=None, "
                           "trailing_stop=None, time_limit=None, timeout_secs=None)\n--\n\n"),
    KW_METHOD(place_ticket, "place_ticket($self, side, units, take_profit=None, stop_loss=None, trailing_stop=None, "
                            "timeout_secs=None)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};
#undef KW_METHOD

char class_doc[] = "RustEngineAsync(host, port, start_seq=None)\n--\n\n";

PyObject* engine_new_guarded(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return boundary([&] { return engine_new(type, args, kwargs); });
}

PyType_Slot engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(engine_new_guarded)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, engine_methods},
    {Py_tp_doc, class_doc},
    {0, nullptr},
};

// A dotted name keeps CPython quiet; "builtins." makes __module__ report builtins.
PyType_Spec engine_spec = {"builtins.RustEngineAsync", sizeof(EngineObject), 0, Py_TPFLAGS_DEFAULT, engine_slots};

PyObject* type_object = nullptr;  // process lifetime, deliberately never released

}  // namespace

PyObject* engine_type() {
    if (type_object) return type_object;
    py::object type = py::object::steal(PyType_FromSpec(&engine_spec));
    if (!type) return nullptr;
    // The doc slot carries only the text signature; the class has no docstring of its own.
    if (PyObject_SetAttrString(type.get(), "__doc__", Py_None) < 0) return nullptr;
    type_object = type.release();
    return type_object;
}

}  // namespace engine
