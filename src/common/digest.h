#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// SHA-256 (the simulator's reports, the package's image digests, the phone
// records) and base64. Small local versions; the project links no crypto
// library.

class CSha256 {
 public:
  CSha256() { Reset(); }
  void Reset();
  void Update(std::span<const uint8_t> data);
  // Lower-case hex of the digest; the object must be Reset() before reuse.
  std::string FinishHex();

 private:
  void Block(const uint8_t* p);
  void Blocks(const uint8_t* p, size_t nBlocks);

  uint32_t m_aState[8];
  uint8_t m_aBuf[64];
  size_t m_nBuf;
  uint64_t m_nTotal;
};

std::string Sha256Hex(std::span<const uint8_t> data);
std::string Base64(std::span<const uint8_t> data);
