// The test program's own lab root (log, pipes, results) and small file helpers.
#pragma once

#include <string>

namespace activator::testing {

// Root folder of this test program's lab, as its build constants name it.
std::string LabRoot();
// A path under the lab root.
std::string LabPath(const std::string& relative);
// Writes `bytes` to `path`, replacing what was there.
void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
// A name unique to this process and call, for sockets and files of one test.
std::string UniqueName(const std::string& stem);

}  // namespace activator::testing
