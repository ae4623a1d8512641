#pragma once

#include "support/Errors.h"

#include <string>
#include <utility>

namespace tesselwick::testing {

// "domain code: message" of the DomainError that `body` throws, or "no error",
// so one comparison checks all three parts of a failure.
template <typename Body> std::string errorText(Body&& body) {
    try {
        std::forward<Body>(body)();
    } catch (const DomainError& error) {
        return error.domain() + " " + std::to_string(error.code()) + ": " + error.message();
    }
    return "no error";
}

} // namespace tesselwick::testing
