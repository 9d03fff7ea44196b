#pragma once

#include <cstddef>
#include <string>

// The chip list most writer tests use: one chip whose factory partition is
// "factorydata".
inline constexpr char kOneChipList[] = "[CHIP_1]\nCHIPNAME=c\nFACTNAME=factorydata\n";

// The files a writer station needs below strBase: ini/chipset.ini, and
// images/boot_fact.bin as nBootBytes stand-in bytes.
void MakeWriterStation(const std::string& strBase, size_t nBootBytes,
                       const std::string& strChipList = kOneChipList);
