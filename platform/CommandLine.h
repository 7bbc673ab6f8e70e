// The program's command-line parameters, kept once at start-up so that units
// deciding how the process was started (the CGI adapters and the facade) can
// ask for them.
#pragma once

#include <string>
#include <vector>

namespace vantora {

// Keeps argv[1..argc-1] as the parameters (argv[0] is the program).
void SetCommandLine(int argc, const char* const* argv);
// Replaces the parameters (tests, and the library build which has none).
void SetParams(std::vector<std::string> params);

// The number of parameters, not counting the program.
int ParamCount();
// Parameter 1..ParamCount(); empty for any other index.
std::string ParamStr(int index);

}  // namespace vantora
