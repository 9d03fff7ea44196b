#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/serial_device.h"
#include "platform/wake_event.h"

// A serial device played by a script, in order: what the phone sends, in
// fragments as they come off the line (each optionally some time after the
// step before it), the writes the host must make before the script goes on,
// holds that the test releases, and a hang-up. The order of events is the
// script's, never a sleep's: a step waits for the one before it. Writes can
// be made slow (one byte per nWriteStepMs) to reach the write time limits
// that a pseudo-terminal is far too fast for.
//
// A reading thread and the test thread may both use it.
class CScriptedDevice final : public platform::ISerialDevice {
 public:
  using Bytes = std::vector<uint8_t>;

  // The phone sends a fragment, nDelayMs after the step before it is done.
  // A read never returns more than one fragment.
  CScriptedDevice& Send(const Bytes& fragment, int nDelayMs = 0);
  // The host must write these bytes next; later steps wait until it has.
  CScriptedDevice& Expect(const Bytes& write);
  // Later steps wait until the test calls Release().
  CScriptedDevice& Hold();
  // The device hangs up once the steps before are done.
  CScriptedDevice& HangUp();
  void Release();

  void SetWriteStepMs(int nMs);
  // Everything the host wrote so far; TakeWritten() also forgets it.
  Bytes Written() const;
  Bytes TakeWritten();
  // Bytes the host dropped unread.
  size_t Discarded() const;
  // True while every write matched what the script expected.
  bool WritesAsExpected() const;
  // True when every step has been done.
  bool ScriptDone() const;
  // Waits, at most bound, until a reader waits on the device with nothing
  // left to read.
  bool WaitForIdleReader(std::chrono::milliseconds bound);

  int BytesWaiting() override;
  int ReadSome(void* pBuf, size_t nMax) override;
  int WriteSome(const void* pBuf, size_t nLen, int* pErr) override;
  platform::EWaitResult Wait(bool bForWrite, std::span<const platform::WaitHandle> wakes,
                             int nTimeoutMs, int* pWokenIndex) override;
  void DiscardInput() override;
  void DiscardBoth() override { DiscardInput(); }
  long NativeHandle() const override { return 99; }

 private:
  using Clock = std::chrono::steady_clock;
  enum class EStep { Send, Expect, Hold, HangUp };
  struct SStep {
    EStep eKind;
    Bytes bytes;
    int nDelayMs = 0;
  };

  CScriptedDevice& Add(SStep step);
  // Does every step that can be done now; the caller holds m_mutex. Returns
  // when the head step is due, if it waits for time.
  Clock::time_point Advance();
  platform::EWaitResult WaitSlowWrite(std::span<const platform::WaitHandle> wakes, int nStepMs,
                                      int nTimeoutMs, int* pWokenIndex);

  mutable std::mutex m_mutex;
  std::condition_variable m_changed;   // a reader started waiting
  platform::CWakeEvent m_scriptMoved;  // wakes a reader when the test adds or releases
  std::deque<SStep> m_steps;
  Clock::time_point m_headSince = Clock::now();  // when the head step became the head
  std::deque<Bytes> m_input;                     // fragments that have arrived
  Bytes m_written;
  size_t m_nMatched = 0;  // written bytes checked against Expect steps
  size_t m_nDiscarded = 0;
  int m_nReleases = 0;
  int m_nIdleReaders = 0;
  bool m_bGone = false;
  bool m_bMismatch = false;
  int m_nWriteStepMs = 0;
  bool m_bWritable = false;
};
