#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Makers of hostile files, generated at test time so that nothing large is
// kept in the repository.

// A name that is no valid UTF-8: a lone continuation byte, a truncated
// two-byte sequence and a byte that never occurs in UTF-8.
inline const std::string kNonUtf8Name = "bad\x80name\xC3(\xFF";

// nSize bytes of noise, the same for the same seed.
std::string Garbage(size_t nSize, uint32_t nSeed);
// Writes the bytes as the whole file, creating its folders.
void WriteBytes(const std::string& strPath, const std::string& strBytes);
