// What the program tells a person who starts it in a shell: the usage text
// (`vantora --help`) and the version (`vantora --version`).
//
// The usage text lives here only.  Each way of starting the program is one
// row of the start table in VantoraUsage.cpp; a new start form (a server
// mode, a command word) adds its row there.
#pragma once

#include <string>

namespace vantora {

// The program's version.
inline constexpr char kVantoraVersion[] = "1.0.0";

// The usage text for the program file at program_file (its folder and name
// show where the program keeps its files), lines ending in LF.
std::string UsageText(const std::string& program_file);
// "vantora 1.0.0" and LF, with the program file's own name.
std::string VersionText(const std::string& program_file);

// When the command line asks for the usage text or the version (first
// parameter "--help" or "--version") in a process that no web server runs
// as standard CGI, writes the answer to output_handle and returns true; the
// program then ends with exit code 0 and creates no file.  Otherwise returns
// false and writes nothing.  Needs the Windows CGI unit's start-up
// (StartCgiWinUnit, adapters/CgiWEng.h) first.
bool AnswerCommandLineQuestion(int output_handle = 1);

}  // namespace vantora
