#pragma once

#include <string>

namespace quillon {

// The folder of the running program, where its companions sit.
std::string program_directory();

// Replaces the running process with the program at `path`, given the same
// arguments; returns only when that cannot be done.
void run_instead(const std::string& path, char** argv);

}  // namespace quillon
