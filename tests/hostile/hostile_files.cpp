#include "hostile_files.h"

#include <filesystem>
#include <fstream>
#include <random>

std::string Garbage(size_t nSize, uint32_t nSeed) {
  std::mt19937 random(nSeed);
  std::string s(nSize, '\0');
  for (char& c : s) c = static_cast<char>(random() & 0xFF);
  return s;
}

void WriteBytes(const std::string& strPath, const std::string& strBytes) {
  std::filesystem::create_directories(std::filesystem::path(strPath).parent_path());
  std::ofstream(strPath, std::ios::binary) << strBytes;
}
