// The engine's one error value, and the one conversion of it into a Python exception.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace engine {

// A payload that does not decode or encode; raised as ValueError.
struct CodecError {
    std::string message;
};

// The UI peer answered with an ErrorResponse; raised as RuntimeError.
struct RpcError {
    std::uint32_t seq;
    std::uint16_t fn_id;
    std::uint16_t err;
    std::uint16_t sub;
    std::string message;
};

// The exchange failed, or never got that far; raised as RuntimeError.
struct TransportError {
    std::optional<std::uint32_t> seq;
    std::optional<std::uint16_t> fn_id;
    std::string message;
};

using EngineError = std::variant<CodecError, RpcError, TransportError>;

// The exception text of an error, exactly as Python shows it.
std::string error_text(const EngineError& e);

// The text of an exception that a task or a handler let escape ("unknown error" when it is no std::exception).
std::string fault_text(const std::exception_ptr& fault);

// Sets the Python exception for `e`; the caller holds the interpreter lock and returns null.
void set_python_error(const EngineError& e);

// A value or an EngineError.
template <class T>
class Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(EngineError e) : v_(std::in_place_index<1>, std::move(e)) {}
    Result(CodecError e) : v_(std::in_place_index<1>, std::move(e)) {}
    Result(RpcError e) : v_(std::in_place_index<1>, std::move(e)) {}
    Result(TransportError e) : v_(std::in_place_index<1>, std::move(e)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const T& value() const& { return std::get<0>(v_); }
    EngineError& error() & { return std::get<1>(v_); }
    const EngineError& error() const& { return std::get<1>(v_); }

private:
    std::variant<T, EngineError> v_;
};

}  // namespace engine
