#pragma once

#include <string>

namespace tesselwick::testsupport {

// Moves this test process into a mount namespace of its own before any test
// runs, so tests can mount without touching the machine. Empty when that
// worked, otherwise the reason it did not (tests that mount then skip).
const std::string& privateMountNamespaceFailure();

} // namespace tesselwick::testsupport
