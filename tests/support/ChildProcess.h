#pragma once

#include <chrono>
#include <string>

namespace Metrics::Testing {

// Runs this test program again, as a fresh process, on the one (disabled) test named filter, with
// the environment variable name set to value on top of this process's environment. Returns the
// exit status, or -1 when it did not end before the deadline (it is then killed), -2 when it could
// not be started.
int RunThisProgram(const std::string& filter, const std::string& name, const std::string& value,
                   std::chrono::seconds deadline);

}  // namespace Metrics::Testing
