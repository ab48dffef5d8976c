// Routes the engines' log records into Python's logging module.
#pragma once

#include "shm/region.hpp"

namespace zelto::binding {

// A log sink that emits an information-level record on logging.getLogger(target), only when
// that logger is enabled for it. The module installs no handler, so by default nothing is
// written. Must be called with the interpreter lock held.
shm::LogFn python_info_log();

}  // namespace zelto::binding
