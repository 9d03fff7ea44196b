#include "allocation_probe.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

// Heap bytes in use, the highest that figure reached and the largest request
// since the last reset; updated by every thread's new and delete.
std::atomic<size_t> g_nLive{0};
std::atomic<size_t> g_nPeak{0};
std::atomic<size_t> g_nLargest{0};

void RaiseTo(std::atomic<size_t>& target, size_t nValue) {
  size_t nSeen = target.load(std::memory_order_relaxed);
  while (nSeen < nValue && !target.compare_exchange_weak(nSeen, nValue)) {
  }
}

void* Allocate(size_t nSize) {
  void* p = std::malloc(nSize == 0 ? 1 : nSize);
  if (!p) throw std::bad_alloc();
  const size_t nReal = malloc_usable_size(p);
  RaiseTo(g_nPeak, g_nLive.fetch_add(nReal) + nReal);
  RaiseTo(g_nLargest, nSize);
  return p;
}

void Release(void* p) noexcept {
  if (!p) return;
  g_nLive.fetch_sub(malloc_usable_size(p));
  std::free(p);
}

}  // namespace

void* operator new(size_t nSize) {
  return Allocate(nSize);
}
void* operator new[](size_t nSize) {
  return Allocate(nSize);
}
void operator delete(void* p) noexcept {
  Release(p);
}
void operator delete[](void* p) noexcept {
  Release(p);
}
void operator delete(void* p, size_t) noexcept {
  Release(p);
}
void operator delete[](void* p, size_t) noexcept {
  Release(p);
}

CAllocationProbe::CAllocationProbe() : m_nBase(g_nLive.load()) {
  g_nPeak = m_nBase;
  g_nLargest = 0;
}

size_t CAllocationProbe::LargestBlock() const {
  return g_nLargest;
}

size_t CAllocationProbe::PeakGrowth() const {
  return g_nPeak - m_nBase;
}
