#pragma once

// Runs the built dotcal program as a user does, for the tests of tests/tools.
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct DotcalRun {
  int status = -1;
  std::string out, err;
};

inline std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

inline std::string ReadText(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// Runs `program` with the arguments (no shell expansion: patterns reach it as typed). Its output
// goes through files in `folder`.
inline DotcalRun RunDotcal(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& folder) {
  const std::string out = folder + "/stdout.txt";
  const std::string err = folder + "/stderr.txt";
  std::string command = ShellQuote(program);
  for (const std::string& a : arguments) command += " " + ShellQuote(a);
  command += " >" + ShellQuote(out) + " 2>" + ShellQuote(err) + " </dev/null";
  const int raw = std::system(command.c_str());
  DotcalRun run;
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.out = ReadText(out);
  run.err = ReadText(err);
  return run;
}
