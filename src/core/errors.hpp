// The error value that every codec routine returns instead of a result.
//
// Codec routines never raise: they hand back either their value or a CodecError naming
// the Python exception class and its message. The interpreter side turns it into an
// exception in exactly one place (src/module/pyconv.cpp). Nothing here includes Python.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace bitweave {

enum class ErrorKind : std::uint8_t {
    none,
    value_error,
    key_error,
    type_error,
    overflow_error,
    not_implemented_error,
    memory_error,
    // An interpreter call failed and its exception is pending in the interpreter.
    python,
};

struct CodecError {
    ErrorKind kind = ErrorKind::none;

    CodecError() = default;
    CodecError(ErrorKind k, std::string m)
        : kind(k), text_(std::make_unique<std::string>(std::move(m))) {}

    static CodecError pending() { return CodecError(ErrorKind::python); }
    explicit operator bool() const { return kind != ErrorKind::none; }
    std::string_view message() const {
        return text_ ? std::string_view(*text_) : std::string_view();
    }

  private:
    explicit CodecError(ErrorKind k) : kind(k) {}
    // Held by pointer so that the success path carries one null word, not a string.
    std::unique_ptr<std::string> text_;
};

inline CodecError value_error(std::string message) {
    return {ErrorKind::value_error, std::move(message)};
}

inline CodecError not_implemented(const char* message) {
    return {ErrorKind::not_implemented_error, message};
}

// A value or the error that replaced it.
template <class T>
class [[nodiscard]] Result {
  public:
    Result(T value) : value_(std::move(value)) {}           // NOLINT: implicit by design
    Result(CodecError error) : error_(std::move(error)) {}  // NOLINT

    bool ok() const { return error_.kind == ErrorKind::none; }
    const T& value() const { return value_; }
    T& value() { return value_; }
    const CodecError& error() const { return error_; }
    CodecError take_error() { return std::move(error_); }

  private:
    T value_{};
    CodecError error_;
};

}  // namespace bitweave
