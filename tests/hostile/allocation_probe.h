#pragma once

#include <cstddef>

// Measures what the code under test takes from the heap between the probe's
// construction and a reading, through this program's own global operator
// new and delete (allocation_probe.cpp). For bounding what a parser holds
// while it reads a hostile file: a claim of 2^31 entries, a 1 MB line.
class CAllocationProbe {
 public:
  CAllocationProbe();
  CAllocationProbe(const CAllocationProbe&) = delete;
  CAllocationProbe& operator=(const CAllocationProbe&) = delete;

  // The largest single request since the probe was made.
  size_t LargestBlock() const;
  // The highest the heap in use rose above its level when the probe was made.
  size_t PeakGrowth() const;

 private:
  size_t m_nBase;  // heap in use when the probe was made
};
