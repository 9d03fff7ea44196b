#include "sim_reports.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "pty_phone.h"

std::string Base64Decode(const std::string& in) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  int nBits = 0;
  unsigned nBuffer = 0;
  for (char c : in) {
    const int v = value(c);
    if (v < 0) continue;
    nBuffer = nBuffer << 6 | static_cast<unsigned>(v);
    nBits += 6;
    if (nBits >= 8) {
      nBits -= 8;
      out.push_back(static_cast<char>(nBuffer >> nBits & 0xFF));
    }
  }
  return out;
}

std::string DecodeImeiSlot(const std::string& partition, size_t nSlot) {
  const auto* p = reinterpret_cast<const uint8_t*>(partition.data()) + 0x2000 + 4 + 9 * nSlot;
  std::string imei(1, static_cast<char>('0' + (p[0] >> 4)));
  for (size_t k = 1; k < 8; ++k) {
    imei.push_back(static_cast<char>('0' + (p[k] & 0x0F)));
    imei.push_back(static_cast<char>('0' + (p[k] >> 4)));
  }
  return imei;
}

std::string WrittenPartition(const std::string& strJson) {
  const size_t at = strJson.find("\"written\": true");
  if (at == std::string::npos) return {};
  const size_t start = strJson.find("\"base64\": \"", at);
  if (start == std::string::npos) return {};
  const size_t from = start + 11;
  return Base64Decode(strJson.substr(from, strJson.find('"', from) - from));
}

std::vector<std::vector<std::string>> WrittenImeis(const std::string& strReportDir, size_t nSlots) {
  std::vector<std::vector<std::string>> phones;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(strReportDir, ec)) {
    const std::string partition = WrittenPartition(ReadWholeFile(entry.path().string()));
    if (partition.size() != 0x4000) continue;
    std::vector<std::string> imeis;
    for (size_t slot = 0; slot < nSlots; ++slot) imeis.push_back(DecodeImeiSlot(partition, slot));
    phones.push_back(std::move(imeis));
  }
  return phones;
}
