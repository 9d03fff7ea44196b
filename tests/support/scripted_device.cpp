#include "scripted_device.h"

#include <algorithm>
#include <cstring>

using platform::EWaitResult;

CScriptedDevice& CScriptedDevice::Add(SStep step) {
  {
    std::lock_guard lock(m_mutex);
    if (m_steps.empty()) m_headSince = Clock::now();
    m_steps.push_back(std::move(step));
  }
  m_scriptMoved.Signal();
  return *this;
}

CScriptedDevice& CScriptedDevice::Send(const Bytes& fragment, int nDelayMs) {
  return Add({EStep::Send, fragment, nDelayMs});
}
CScriptedDevice& CScriptedDevice::Expect(const Bytes& write) {
  return Add({EStep::Expect, write});
}
CScriptedDevice& CScriptedDevice::Hold() {
  return Add({EStep::Hold, {}});
}
CScriptedDevice& CScriptedDevice::HangUp() {
  return Add({EStep::HangUp, {}});
}

void CScriptedDevice::Release() {
  {
    std::lock_guard lock(m_mutex);
    ++m_nReleases;
  }
  m_scriptMoved.Signal();
}

void CScriptedDevice::SetWriteStepMs(int nMs) {
  std::lock_guard lock(m_mutex);
  m_nWriteStepMs = nMs;
}

CScriptedDevice::Bytes CScriptedDevice::Written() const {
  std::lock_guard lock(m_mutex);
  return m_written;
}

CScriptedDevice::Bytes CScriptedDevice::TakeWritten() {
  std::lock_guard lock(m_mutex);
  Bytes written;
  written.swap(m_written);
  m_nMatched = 0;
  return written;
}

size_t CScriptedDevice::Discarded() const {
  std::lock_guard lock(m_mutex);
  return m_nDiscarded;
}

bool CScriptedDevice::WritesAsExpected() const {
  std::lock_guard lock(m_mutex);
  return !m_bMismatch;
}

bool CScriptedDevice::ScriptDone() const {
  std::lock_guard lock(m_mutex);
  return m_steps.empty();
}

bool CScriptedDevice::WaitForIdleReader(std::chrono::milliseconds bound) {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, bound, [this] { return m_nIdleReaders > 0 && m_input.empty(); });
}

CScriptedDevice::Clock::time_point CScriptedDevice::Advance() {
  while (!m_steps.empty()) {
    SStep& step = m_steps.front();
    switch (step.eKind) {
      case EStep::Send: {
        const auto due = m_headSince + std::chrono::milliseconds(step.nDelayMs);
        if (Clock::now() < due) return due;
        if (!step.bytes.empty()) m_input.push_back(std::move(step.bytes));
        break;
      }
      case EStep::Expect:
        if (m_written.size() < m_nMatched + step.bytes.size()) return Clock::time_point::max();
        if (!std::equal(step.bytes.begin(), step.bytes.end(), m_written.begin() + m_nMatched)) {
          m_bMismatch = true;
        }
        m_nMatched += step.bytes.size();
        break;
      case EStep::Hold:
        if (m_nReleases == 0) return Clock::time_point::max();
        --m_nReleases;
        break;
      case EStep::HangUp:
        m_bGone = true;
        break;
    }
    m_steps.pop_front();
    m_headSince = Clock::now();
  }
  return Clock::time_point::max();
}

int CScriptedDevice::BytesWaiting() {
  std::lock_guard lock(m_mutex);
  Advance();
  if (!m_input.empty()) return static_cast<int>(m_input.front().size());
  return m_bGone ? -1 : 0;
}

int CScriptedDevice::ReadSome(void* pBuf, size_t nMax) {
  std::lock_guard lock(m_mutex);
  Advance();
  if (m_input.empty()) return m_bGone ? -1 : 0;
  Bytes& front = m_input.front();
  const size_t n = std::min(nMax, front.size());
  std::memcpy(pBuf, front.data(), n);
  front.erase(front.begin(), front.begin() + static_cast<long>(n));
  if (front.empty()) m_input.pop_front();
  return static_cast<int>(n);
}

int CScriptedDevice::WriteSome(const void* pBuf, size_t nLen, int* pErr) {
  std::lock_guard lock(m_mutex);
  if (m_bGone) {
    *pErr = 5;
    return -1;
  }
  if (m_nWriteStepMs > 0) {
    if (!m_bWritable || nLen == 0) return 0;
    m_bWritable = false;
    nLen = 1;
  }
  const auto* p = static_cast<const uint8_t*>(pBuf);
  m_written.insert(m_written.end(), p, p + nLen);
  Advance();
  return static_cast<int>(nLen);
}

void CScriptedDevice::DiscardInput() {
  std::lock_guard lock(m_mutex);
  Advance();
  for (const Bytes& fragment : m_input) m_nDiscarded += fragment.size();
  m_input.clear();
}

EWaitResult CScriptedDevice::WaitSlowWrite(std::span<const platform::WaitHandle> wakes, int nStepMs,
                                           int nTimeoutMs, int* pWokenIndex) {
  const int nWait = std::min(nTimeoutMs, nStepMs);
  const int nWoken = platform::WaitAny(wakes, nWait);
  if (nWoken >= 0) {
    *pWokenIndex = nWoken;
    return EWaitResult::Woken;
  }
  if (nWait < nStepMs) return EWaitResult::TimedOut;
  std::lock_guard lock(m_mutex);
  m_bWritable = true;
  return EWaitResult::Ready;
}

EWaitResult CScriptedDevice::Wait(bool bForWrite, std::span<const platform::WaitHandle> wakes,
                                  int nTimeoutMs, int* pWokenIndex) {
  std::unique_lock lock(m_mutex);
  if (bForWrite && m_nWriteStepMs > 0) {
    const int nStepMs = m_nWriteStepMs;
    lock.unlock();
    return WaitSlowWrite(wakes, nStepMs, nTimeoutMs, pWokenIndex);
  }
  const auto end = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
  std::vector<platform::WaitHandle> handles(wakes.begin(), wakes.end());
  handles.push_back(m_scriptMoved.Handle());
  for (;;) {
    const auto due = Advance();
    if (m_bGone) return EWaitResult::Gone;
    if (bForWrite || !m_input.empty()) return EWaitResult::Ready;
    const auto now = Clock::now();
    if (now >= end) return EWaitResult::TimedOut;
    const auto until = std::min(due, end);
    const int nWaitMs =
        static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(until - now).count());
    ++m_nIdleReaders;
    m_changed.notify_all();
    lock.unlock();
    const int nWoken = platform::WaitAny(handles, nWaitMs);
    lock.lock();
    --m_nIdleReaders;
    if (nWoken >= 0 && nWoken < static_cast<int>(wakes.size())) {
      *pWokenIndex = nWoken;
      return EWaitResult::Woken;
    }
    if (nWoken == static_cast<int>(wakes.size())) m_scriptMoved.Consume();
  }
}
