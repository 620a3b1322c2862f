// The wrapper's own lines on standard error, told from the command's output
// by their prefix.
#pragma once

#include <cstdio>
#include <string>

namespace activator {

inline void Warn(const std::string& line) {
  std::fprintf(stderr, "activator-run: %s\n", line.c_str());
}

}  // namespace activator
