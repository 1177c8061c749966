// Internal faults: conditions that ordinary input cannot cause. They end the process.
#pragma once

namespace quorbel::binding {

// Writes "quorbel: internal fault: <message>" to standard error and aborts. When a Python
// exception is pending it is printed first, followed by "Python API call failed".
[[noreturn, gnu::cold]] void fault(const char* message) noexcept;

}  // namespace quorbel::binding
