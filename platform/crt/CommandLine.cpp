#include "platform/crt/CommandLine.h"

namespace plat::crt {
namespace {

bool Blank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> arguments;
  size_t i = 0;
  std::string name;
  for (bool quoted = false; i < line.size() && (quoted || !Blank(line[i])); ++i) {
    if (line[i] == '"')
      quoted = !quoted;
    else
      name += line[i];
  }
  arguments.push_back(std::move(name));

  for (;;) {
    while (i < line.size() && Blank(line[i])) ++i;
    if (i == line.size()) break;
    std::string argument;
    bool quoted = false;
    while (i < line.size()) {
      size_t backslashes = 0;
      while (i < line.size() && line[i] == '\\') ++backslashes, ++i;
      bool literal = true;
      if (i < line.size() && line[i] == '"') {
        if (backslashes % 2 == 0) {
          if (quoted && i + 1 < line.size() && line[i + 1] == '"')
            ++i;  // a doubled quote inside quotes is one literal quote
          else
            literal = false, quoted = !quoted;
        }
        backslashes /= 2;
      }
      argument.append(backslashes, '\\');
      if (i == line.size() || (!quoted && Blank(line[i]))) break;
      if (literal) argument += line[i];
      ++i;
    }
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

const char* ArgumentsAfterProgramName(const char* line) {
  const char* p = line;
  if (*p == '"') {
    ++p;
    while (*p != 0 && *p != '"') ++p;
    if (*p == '"') ++p;
  } else {
    while (*p != 0 && !Blank(*p)) ++p;
  }
  while (*p != 0 && Blank(*p)) ++p;
  return p;
}

}  // namespace plat::crt
