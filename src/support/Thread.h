#pragma once

namespace tesselwick {

// Whether the caller runs on the process's main thread (the one that ran main()).
bool isMainThread();

} // namespace tesselwick
