#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "pdl/packet.h"
#include "pty_phone.h"

// The helpers that need no pseudo-terminal, for every platform.

namespace fs = std::filesystem;

std::vector<uint8_t> AckPacket(uint32_t nCode, uint8_t nFlowId, uint32_t nDataSize) {
  std::vector<uint8_t> p(10);
  pdl::BuildHeader(p.data(), nDataSize, nFlowId);
  pdl::PutU32(p.data() + 6, nCode);
  return p;
}

std::vector<uint8_t> DataReply(const std::vector<uint8_t>& data, uint8_t nFlowId) {
  // Sized once: GCC 12 at -O2 misreads an insert after the header as overflow.
  std::vector<uint8_t> p(6 + data.size());
  pdl::BuildHeader(p.data(), static_cast<uint32_t>(data.size()), nFlowId);
  std::copy(data.begin(), data.end(), p.begin() + 6);
  return p;
}

CTempDir::CTempDir() {
  // A fresh name below the system's temporary folder; create_directory
  // fails on a name that exists, so a clash just tries the next one.
  static std::atomic<unsigned> s_nNext{0};
  const fs::path base = fs::temp_directory_path();
  std::random_device rd;
  for (;;) {
    const fs::path dir =
        base / ("norqtest." + std::to_string(rd()) + "." + std::to_string(s_nNext++));
    std::error_code ec;
    if (fs::create_directory(dir, ec)) {
      m_strPath = dir.generic_string();
      return;
    }
    if (ec) throw std::runtime_error("cannot make a temporary folder: " + ec.message());
  }
}

CTempDir::~CTempDir() {
  std::error_code ec;
  fs::remove_all(m_strPath, ec);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}
