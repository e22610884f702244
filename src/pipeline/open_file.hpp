// open(2) for path texts, as an IoResult.
#pragma once

#include <sys/types.h>

#include <string>

#include "io_error.hpp"
#include "unique_fd.hpp"

namespace quillon {

// Opens `path` with `flags` | O_CLOEXEC, repeating an interrupted open unless
// `interrupt` says to give up. A path holding a NUL byte cannot be passed to
// the system and is refused as invalid input.
IoResult<UniqueFd> open_file(const std::string& path, int flags, mode_t mode = 0,
                             InterruptCheck interrupt = nullptr);

}  // namespace quillon
