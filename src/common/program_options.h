#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "common/version.h"

// Options every installed program shares.

// --version: "<name> <product version>" on one line, exit 0. The name is the
// program's installed name, not argv[0], so that a copy under another name
// still says what it is.
inline void AddVersionFlag(CLI::App& app, const std::string& strName) {
  app.set_version_flag("--version", strName + " " + kProductVersion,
                       "print the program's name and version and exit");
}

// The folder a program started from the desktop's menu works in, when no
// folder is named: $<TOOL>_STATION when set, else <tool>/station below the
// user's data folder ($XDG_DATA_HOME, else ~/.local/share; on Windows
// %LOCALAPPDATA%).
std::string DefaultStationFolder(const std::string& strTool);

// Makes strDir (and its ini/) when missing and makes it the current folder,
// which start-up then takes as the base folder. False with the reason when
// it cannot.
bool EnterStationFolder(const std::string& strDir, std::string* pError);

// --station [DIR]: the base folder to work in instead of the current one;
// without DIR the default station folder of the tool. Menu entries and the
// station service start the programs with it, from a folder of their own.
class CStationOption {
 public:
  CStationOption(CLI::App& app, std::string strTool);
  CStationOption(const CStationOption&) = delete;
  CStationOption& operator=(const CStationOption&) = delete;

  // After the parse: enters the folder when --station was given. False (the
  // reason printed to stderr) when it cannot; the program then ends.
  bool Enter() const;

 private:
  std::string m_strTool;
  std::string m_strDir;
  CLI::Option* m_pOption = nullptr;
};
