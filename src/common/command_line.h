#pragma once

#include <CLI/CLI.hpp>
#include <string>

// The end of both programs' command lines: the window language, then the
// parse. Returns -1 to go on, or the exit status to end with: 0 after
// --help, nUsageExit for bad usage (the reason is printed).
inline int ParseCommandLine(CLI::App& app, std::string& strLang, int nUsageExit, int argc,
                            char** argv) {
  app.add_option("--lang", strLang,
                 "window language: en (English) or zh (the Chinese texts); default: the locale")
      ->check(CLI::IsMember({"en", "zh"}));
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : nUsageExit;
  }
  return -1;
}
