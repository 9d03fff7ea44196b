#include "common/program_options.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

std::string Env(const std::string& strName) {
  const char* psz = std::getenv(strName.c_str());
  return psz ? psz : "";
}

// "quillport" -> "QUILLPORT_STATION".
std::string StationVariable(const std::string& strTool) {
  std::string strName;
  for (char c : strTool) strName += c == '-' ? '_' : static_cast<char>(std::toupper(c));
  return strName + "_STATION";
}

}  // namespace

std::string DefaultStationFolder(const std::string& strTool) {
  if (std::string strDir = Env(StationVariable(strTool)); !strDir.empty()) return strDir;
  fs::path data;
  if (std::string strXdg = Env("XDG_DATA_HOME"); !strXdg.empty()) {
    data = strXdg;
  } else if (std::string strHome = Env("HOME"); !strHome.empty()) {
    data = fs::path(strHome) / ".local" / "share";
  } else if (std::string strLocal = Env("LOCALAPPDATA"); !strLocal.empty()) {
    data = strLocal;
  } else {
    data = ".";
  }
  return (data / strTool / "station").string();
}

bool EnterStationFolder(const std::string& strDir, std::string* pError) {
  std::error_code ec;
  fs::create_directories(fs::path(strDir) / "ini", ec);
  if (!ec) fs::current_path(strDir, ec);
  if (ec) {
    *pError = "cannot work in the station folder " + strDir + ": " + ec.message();
    return false;
  }
  return true;
}

CStationOption::CStationOption(CLI::App& app, std::string strTool) : m_strTool(std::move(strTool)) {
  m_pOption = app.add_option("--station", m_strDir,
                             "work in the station folder DIR (made with its ini/ when missing) "
                             "instead of the current folder; without DIR: $" +
                                 StationVariable(m_strTool) + ", else ~/.local/share/" + m_strTool +
                                 "/station")
                  ->expected(0, 1)
                  ->type_name("[DIR]");
}

bool CStationOption::Enter() const {
  if (m_pOption->count() == 0) return true;
  const std::string strDir = m_strDir.empty() ? DefaultStationFolder(m_strTool) : m_strDir;
  std::string strError;
  if (EnterStationFolder(strDir, &strError)) return true;
  std::fprintf(stderr, "%s: %s\n", m_strTool.c_str(), strError.c_str());
  return false;
}
