#include "engine.hpp"

#include "args.hpp"
#include "bridge.hpp"
#include "codec.hpp"
#include "decode.hpp"
#include "frame.hpp"
#include "py.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace engine {
namespace {

// Immutable after construction; the shared handles inside `endpoint` carry all mutable state.
struct EngineState {
    std::string host;
    std::uint16_t port;
    std::uint32_t start_seq;
    std::shared_ptr<Endpoint> endpoint;
};

struct EngineObject {
    PyObject_HEAD
    EngineState* state;
};

EngineState& state_of(PyObject* self) { return *reinterpret_cast<EngineObject*>(self)->state; }

// ---- Argument conversion ------------------------------------------------------------------------------

// Re-raises the pending TypeError as "argument '{name}': {its text}"; other errors pass unchanged.
void prefix_type_error(const char* name) {
    if (!name || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    py::object t = py::object::steal(type), v = py::object::steal(value), b = py::object::steal(tb);
    py::object text = py::object::steal(PyObject_Str(v.get()));
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
}

void raise_out_of_range() {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
}

// An integer argument (anything with __index__) within [lo, hi].
std::optional<long long> to_integer(PyObject* obj, const char* name, long long lo, long long hi) {
    py::object index = py::object::steal(PyNumber_Index(obj));
    if (!index) {
        prefix_type_error(name);
        return std::nullopt;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return std::nullopt;
    if (overflow || v < lo || v > hi) {
        raise_out_of_range();
        return std::nullopt;
    }
    return v;
}

// A float argument through Python's float protocol (float, int, __float__, __index__).
std::optional<double> to_double(PyObject* obj, const char* name) {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) {
        prefix_type_error(name);
        return std::nullopt;
    }
    return v;
}

// None or absent stays empty; anything else must convert.
bool to_optional_double(PyObject* obj, const char* name, std::optional<double>& out) {
    if (!obj || obj == Py_None) return true;
    out = to_double(obj, name);
    return out.has_value();
}

std::optional<std::string> to_utf8(PyObject* obj, const char* name) {
    if (!PyUnicode_Check(obj)) {
        engine::args::set_not_convertible(name, obj, "PyString");
        return std::nullopt;
    }
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!data) return std::nullopt;
    return std::string(data, std::size_t(size));
}

// Seconds as a duration, rounded to the nearest nanosecond with ties to even, computed exactly on the
// binary value so 0.1 s is 100000000 ns and not one off.
std::optional<Duration> to_duration(double secs) {
    if (secs < 0.0) {
        PyErr_SetString(PyExc_ValueError, "cannot convert float seconds to Duration: value is negative");
        return std::nullopt;
    }
    if (!(secs < 18446744073709551616.0)) {  // 2^64, and NaN
        PyErr_SetString(PyExc_ValueError, "cannot convert float seconds to Duration: value is either too big or NaN");
        return std::nullopt;
    }
    if (secs == 0.0) return Duration{};
    int exp;
    const double mant = std::frexp(secs, &exp);  // secs = mant * 2^exp, 0.5 <= mant < 1
    const auto m = static_cast<std::uint64_t>(std::ldexp(mant, 53));  // secs = m * 2^(exp - 53)
    const int shift = 53 - exp;                                      // secs = m / 2^shift
    if (shift <= 0) return Duration{m << -shift, 0};
    const std::uint64_t whole = shift >= 64 ? 0 : m >> shift;
    const unsigned __int128 frac = shift >= 64 ? m : m & ((std::uint64_t(1) << shift) - 1);
    unsigned __int128 nanos = 0;
    if (shift < 120) {
        const unsigned __int128 scaled = frac * 1'000'000'000u;
        nanos = scaled >> shift;
        const unsigned __int128 rem = scaled & ((static_cast<unsigned __int128>(1) << shift) - 1);
        const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
        if (rem > half || (rem == half && (nanos & 1))) ++nanos;
    }
    if (nanos == 1'000'000'000u) return Duration{whole + 1, 0};
    return Duration{whole, std::uint32_t(nanos)};
}

// ---- Launching ---------------------------------------------------------------------------------------

constexpr Duration default_timeout{10, 0};

// A payload buffer with room for the frame header in front.
constexpr std::size_t headroom = frame::header_size;

codec::Bytes frame_with(const std::uint8_t* payload, std::size_t size) {
    codec::Bytes frame(headroom + size);
    if (size) std::memcpy(frame.data() + headroom, payload, size);
    return frame;
}

PyObject* launch_call(PyObject* self, std::uint16_t fn_id, codec::Bytes frame, Duration timeout, Finish finish) {
    return launch(state_of(self).endpoint, CallOp{fn_id, std::move(frame), timeout}, finish);
}

// The timeout of a command: its default for None, else a checked duration (checked after the payload).
std::optional<Duration> command_timeout(const std::optional<double>& secs, Duration fallback) {
    if (!secs) return fallback;
    return to_duration(*secs);
}

// ---- Results ------------------------------------------------------------------------------------------

PyObject* result_none(Received&) { Py_RETURN_NONE; }

PyObject* result_episode(Received& r) {
    const codec::ByteSpan p = r.payload();
    std::uint32_t v = 0;
    if (p.size() >= 4) v = std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
    return PyLong_FromUnsignedLong(v);
}

PyObject* result_text(Received& r) {
    const codec::ByteSpan p = r.payload();
    if (!frame::utf8_valid(p)) return PyUnicode_FromString("{}");
    return PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(p.data()), Py_ssize_t(p.size()));
}

PyObject* result_sync_policy(Received& r) {
    const codec::ByteSpan p = r.payload();
    if (!p.empty() && p[0] == 0) return PyUnicode_FromString("deferred");
    if (!p.empty() && p[0] == 1) return PyUnicode_FromString("eager");
    Py_RETURN_NONE;
}

PyObject* result_vec(Received& r) { return vec_f64_to_py(r.payload()); }
PyObject* result_mat(Received& r) { return mat_f64_adopting(r); }
PyObject* result_step_and_sync(Received& r) { return vec_mat_f64_adopting(r); }

// ---- Construction ------------------------------------------------------------------------------------

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 3> names = {"host", "port", "start_seq"};
    std::array<PyObject*, 3> a;
    if (!engine::args::bind("RustEngineAsync", names, 2, args, kwargs, a)) return nullptr;
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

    auto state = std::make_unique<EngineState>(
        EngineState{std::move(*host), std::uint16_t(*port), start_seq, make_endpoint(start_seq)});
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<EngineObject*>(self)->state = state.release();
    return self;
}

void engine_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<EngineObject*>(self)->state;
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// ---- Lifecycle ---------------------------------------------------------------------------------------

PyObject* engine_start(PyObject* self, PyObject*) {
    const EngineState& s = state_of(self);
    return launch(s.endpoint, StartOp{s.host, s.port}, result_none);
}

PyObject* engine_wait_connected(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 1> names = {"timeout_secs"};
    std::array<PyObject*, 1> a;
    if (!engine::args::bind("wait_connected", names, 0, args, kwargs, a)) return nullptr;
    std::optional<double> secs;
    if (!to_optional_double(a[0], "timeout_secs", secs)) return nullptr;
    std::optional<Duration> timeout;
    if (secs) {
        timeout = to_duration(*secs);
        if (!timeout) return nullptr;
    }
    return launch(state_of(self).endpoint, WaitConnectedOp{timeout}, result_none);
}

// ---- Commands with no arguments but the timeout ------------------------------------------------------

template <std::uint16_t FnId, Finish F, std::uint64_t DefaultSecs = 10>
PyObject* simple_command(PyObject* self, PyObject* args, PyObject* kwargs, const char* name) {
    static constexpr std::array<const char*, 1> names = {"timeout_secs"};
    std::array<PyObject*, 1> a;
    if (!engine::args::bind(name, names, 0, args, kwargs, a)) return nullptr;
    std::optional<double> secs;
    if (!to_optional_double(a[0], "timeout_secs", secs)) return nullptr;
    auto timeout = command_timeout(secs, Duration{DefaultSecs, 0});
    if (!timeout) return nullptr;
    return launch_call(self, FnId, codec::Bytes(headroom), *timeout, F);
}

#define SIMPLE_COMMAND(method, fn_id, finish, ...)                                   \
    PyObject* engine_##method(PyObject* self, PyObject* args, PyObject* kwargs) {    \
        return simple_command<fn_id, finish, ##__VA_ARGS__>(self, args, kwargs, #method); \
    }

SIMPLE_COMMAND(get_rl_config, 102, result_text)
SIMPLE_COMMAND(step_next, 2, result_none)
SIMPLE_COMMAND(step_and_sync, 130, result_step_and_sync)
SIMPLE_COMMAND(get_snapshot, 12, result_vec)
SIMPLE_COMMAND(get_ticket_list, 10, result_mat)
SIMPLE_COMMAND(get_ohlc, 15, result_mat)
SIMPLE_COMMAND(fetch_events, 30, result_mat)
SIMPLE_COMMAND(end_session, 40, result_mat)
SIMPLE_COMMAND(get_sync_policy, 120, result_sync_policy, 5)
#undef SIMPLE_COMMAND

// ---- init_candles and reset_episode ------------------------------------------------------------------

PyObject* engine_init_candles(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 2> names = {"ohlc5", "timeout_secs"};
    std::array<PyObject*, 2> a;
    if (!engine::args::bind("init_candles", names, 1, args, kwargs, a)) return nullptr;
    std::optional<double> secs;
    if (!to_optional_double(a[1], "timeout_secs", secs)) return nullptr;
    if (!check_array(a[0], nullptr, 2, typenum_float64)) return nullptr;
    std::optional<codec::Bytes> frame = mat_f64_from_py(a[0], headroom);
    if (!frame) return nullptr;
    auto timeout = command_timeout(secs, default_timeout);
    if (!timeout) return nullptr;
    return launch_call(self, 100, std::move(*frame), *timeout, result_none);
}

PyObject* engine_reset_episode(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 3> names = {"episode_index", "episode_type", "timeout_secs"};
    std::array<PyObject*, 3> a;
    if (!engine::args::bind("reset_episode", names, 2, args, kwargs, a)) return nullptr;
    auto index = to_integer(a[0], "episode_index", 0, 4294967295LL);
    if (!index) return nullptr;
    if (!PyUnicode_Check(a[1])) {
        engine::args::set_not_convertible("episode_type", a[1], "PyString");
        return nullptr;
    }
    std::optional<double> secs;
    if (!to_optional_double(a[2], "timeout_secs", secs)) return nullptr;

    // Full Unicode lowercasing, as str.lower does it (called on str itself, so a subclass cannot change it).
    py::object lowered = py::object::steal(
        PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", a[1]));
    if (!lowered) return nullptr;
    const bool test = PyUnicode_CompareWithASCIIString(lowered.get(), "test") == 0;

    const auto i = std::uint32_t(*index);
    const std::uint8_t payload[5] = {std::uint8_t(i), std::uint8_t(i >> 8), std::uint8_t(i >> 16), std::uint8_t(i >> 24),
                                     std::uint8_t(test ? 1 : 0)};
    auto timeout = command_timeout(secs, default_timeout);
    if (!timeout) return nullptr;
    return launch_call(self, 101, frame_with(payload, sizeof payload), *timeout, result_episode);
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

std::optional<PyObject*> to_str_arg(PyObject* obj, const char* name) {
    if (PyUnicode_Check(obj)) return obj;
    engine::args::set_not_convertible(name, obj, "PyString");
    return std::nullopt;
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

PyObject* finish_vec_payload(PyObject* self, std::uint16_t fn_id, std::span<const double> values,
                             const std::optional<double>& secs) {
    Result<codec::Bytes> frame = codec::encode_vec_f64(values, headroom);
    if (!frame) {
        set_python_error(frame.error());
        return nullptr;
    }
    auto timeout = command_timeout(secs, default_timeout);
    if (!timeout) return nullptr;
    return launch_call(self, fn_id, std::move(frame).value(), *timeout, result_vec);
}

PyObject* engine_place_order(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 9> names = {"side",      "order_type",    "price",
                                                         "units",     "take_profit",   "stop_loss",
                                                         "trailing_stop", "time_limit", "timeout_secs"};
    std::array<PyObject*, 9> a;
    if (!engine::args::bind("place_order", names, 4, args, kwargs, a)) return nullptr;
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

    const auto flag = [](const std::optional<double>& v) { return v ? 1.0 : -1.0; };
    // Two roundings (multiply, then subtract): this file is built without floating-point contraction.
    const auto level = [](const std::optional<double>& v) { return v ? *v * 100.0 - 1.0 : 0.0; };
    const std::array<double, 13> values = {1.0,      *price,    flag(tp),  flag(sl),          flag(ts),
                                           flag(tl), *buy ? 1.0 : -1.0,   *kind == U"limit" ? 1.0 : -1.0,
                                           double(*units), level(tp), level(sl), level(ts), tl ? *tl : 0.0};
    return finish_vec_payload(self, 20, values, secs);
}

PyObject* engine_place_ticket(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 6> names = {"side",      "units",         "take_profit",
                                                         "stop_loss", "trailing_stop", "timeout_secs"};
    std::array<PyObject*, 6> a;
    if (!engine::args::bind("place_ticket", names, 2, args, kwargs, a)) return nullptr;
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

    const auto flag = [](const std::optional<double>& v) { return v ? 1.0 : 0.0; };
    const auto level = [](const std::optional<double>& v) { return v ? *v - 1.0 : 0.0; };
    const std::array<double, 9> values = {1.0,       flag(tp),  flag(sl),  flag(ts), *buy ? 1.0 : 0.0,
                                          double(*units), level(tp), level(sl), level(ts)};
    return finish_vec_payload(self, 21, values, secs);
}

// Reads a sequence (not a str) by iterating it once; `convert` turns one element into T or fails.
template <class T, class Convert>
std::optional<std::vector<T>> to_vector(PyObject* obj, Convert convert) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return std::nullopt;
    }
    if (!PySequence_Check(obj)) {
        engine::args::set_not_convertible(nullptr, obj, "Sequence");
        return std::nullopt;
    }
    std::vector<T> out;
    // The length is only a hint (__len__ may lie), so it never decides more than a modest first reservation.
    constexpr Py_ssize_t max_reserved = 1 << 16;
    const Py_ssize_t hint = PySequence_Size(obj);
    if (hint > 0) out.reserve(std::size_t(std::min(hint, max_reserved)));
    if (hint < 0) PyErr_Clear();
    py::object it = py::object::steal(PyObject_GetIter(obj));
    if (!it) return std::nullopt;
    while (py::object item = py::object::steal(PyIter_Next(it.get()))) {
        std::optional<T> v = convert(item.get());
        if (!v) return std::nullopt;
        out.push_back(*v);
    }
    if (PyErr_Occurred()) return std::nullopt;
    return out;
}

std::optional<std::int32_t> element_i32(PyObject* o) {
    auto v = to_integer(o, nullptr, INT32_MIN, INT32_MAX);
    if (!v) return std::nullopt;
    return std::int32_t(*v);
}

std::optional<double> element_f64(PyObject* o) { return to_double(o, nullptr); }

PyObject* engine_close_positions(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 4> names = {"position_ids", "actions", "ratios", "timeout_secs"};
    std::array<PyObject*, 4> a;
    if (!engine::args::bind("close_positions", names, 3, args, kwargs, a)) return nullptr;
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

    Result<codec::Bytes> frame = codec::encode_close_step(*ids, *actions, *ratios, headroom);
    if (!frame) {
        set_python_error(frame.error());
        return nullptr;
    }
    auto timeout = command_timeout(secs, default_timeout);
    if (!timeout) return nullptr;
    return launch_call(self, 31, std::move(frame).value(), *timeout, result_mat);
}

// ---- The type ----------------------------------------------------------------------------------------

// The boundary of the methods: nothing C++ throws may cross into the interpreter.
template <PyCFunctionWithKeywords F>
PyObject* guarded(PyObject* self, PyObject* args, PyObject* kwargs) {
    try {
        return F(self, args, kwargs);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    }
}

#define KW_METHOD(name, doc) \
    {#name, engine::args::keywords_function(guarded<engine_##name>), METH_VARARGS | METH_KEYWORDS, doc}

PyMethodDef engine_methods[] = {
    {"start", engine_start, METH_NOARGS, "start($self)\n--\n\n"},
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

PyType_Slot engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
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
