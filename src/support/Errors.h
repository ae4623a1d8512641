#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

namespace tesselwick {

// The domain of every command and operation error shown to the user.
inline constexpr const char* kErrorDomain = "Tesselwick";

// A failure whose message is written for the user. `what()` is the text the
// error alert shows. An error may quote an underlying error it wraps.
class DomainError : public std::exception {
public:
    DomainError(std::string domain, std::int64_t code, std::string message,
                std::exception_ptr underlying = nullptr)
        : domain_(std::move(domain)), code_(code), message_(std::move(message)),
          underlying_(std::move(underlying)) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& domain() const noexcept { return domain_; }
    std::int64_t code() const noexcept { return code_; }
    const std::string& message() const noexcept { return message_; }
    const std::exception_ptr& underlying() const noexcept { return underlying_; }

private:
    std::string domain_;
    std::int64_t code_;
    std::string message_;
    std::exception_ptr underlying_;
};

// A command error in the "Tesselwick" domain.
inline DomainError commandError(std::int64_t code, std::string message,
                                std::exception_ptr underlying = nullptr) {
    return DomainError(kErrorDomain, code, std::move(message), std::move(underlying));
}

// The calling task was cancelled. Never wrapped into another error and never
// shown to the user; every step stops on it at once and never falls back.
class CancellationError : public std::exception {
public:
    const char* what() const noexcept override { return "The task was cancelled."; }
};

} // namespace tesselwick
