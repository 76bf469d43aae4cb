// `vantrel demo`: a guided tour of the host and the module in a fresh sandbox. Not thread-safe:
// it points VANTREL_HOME at the sandbox for the rest of the process.
#pragma once

#include <string>

namespace vt::host {

// Makes a fresh, empty sandbox folder in the temporary folder; empty with *error set on failure.
std::u16string makeDemoSandbox(std::u16string* error);

// Runs the demo in home (an existing, empty folder) with the module at modulePath and answers
// the exit code: 0 when both sessions finished and both sides ended up alike.
int runDemo(const std::u16string& home, const std::u16string& modulePath);

}  // namespace vt::host
