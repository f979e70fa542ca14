// A command line split as Windows' C runtime splits it. The program's name ends at the first space
// or tab outside quotes, its quotes dropped and its backslashes kept. Each later argument ends at
// whitespace outside quotes; 2n backslashes before a quote give n backslashes and the quote opens
// or closes a quoted part, 2n + 1 give n backslashes and a literal quote; a doubled quote inside a
// quoted part is a literal quote; backslashes before anything else stay as they are.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace plat::crt {

std::vector<std::string> SplitCommandLine(std::string_view line);

// What WinMain is given: the line after the program's name and the blanks that follow it.
const char* ArgumentsAfterProgramName(const char* line);

}  // namespace plat::crt
