#include "writer_station.h"

#include <filesystem>
#include <fstream>

void MakeWriterStation(const std::string& strBase, size_t nBootBytes,
                       const std::string& strChipList) {
  std::filesystem::create_directories(strBase + "/ini");
  std::filesystem::create_directories(strBase + "/images");
  std::ofstream(strBase + "/images/boot_fact.bin", std::ios::binary | std::ios::trunc)
      << std::string(nBootBytes, 'b');
  std::ofstream(strBase + "/ini/chipset.ini", std::ios::trunc) << strChipList;
}
