#pragma once

#include <initializer_list>
#include <span>
#include <string>

// A download tool's station for tests: its folders, settings files and a
// package of generated images.

// One image of a test package, its bytes a generated pattern
// ("pattern:SIZE[:SEED]"). PDL1 and PDL2 are the loaders: started by address
// and executed after their last packet.
struct STestImage {
  const char* pszName;
  const char* pszSource;
};

// The loaders and three partition images, about 1.5 MiB.
inline constexpr STestImage kSmallPackage[] = {{"PDL1", "pattern:20k:1"},
                                               {"PDL2", "pattern:70k:2"},
                                               {"modem", "pattern:300k:3"},
                                               {"system", "pattern:1M:4"},
                                               {"boot", "pattern:90001:5"}};

// Writes the package at strPath; returns the reason it could not, or "".
std::string MakeTestPackage(const std::string& strPath, std::span<const STestImage> images);

// Makes strBase/ini and the ports folder, opens the log folders below strBase
// and points the port discovery at the simulated phones of strPortsDir.
void SetUpDownloadStation(const std::string& strBase, const std::string& strPortsDir);
// Ticks the rows (0..7) in ini/download.ini, as the window saves them, and
// sets ISFORMAT and OPENDEBUG in ini/filelist.ini when asked.
void WriteStationSettings(const std::string& strBase, std::initializer_list<int> rows,
                          bool bFormatFlash = false, bool bOpenDebug = false);
