// The harnesses run no signal handlers: a system call interrupted by a signal is simply repeated.
#include "blockfile/file.h"

namespace quorbel::blockfile {

bool continue_after_signal() noexcept { return true; }

}  // namespace quorbel::blockfile
