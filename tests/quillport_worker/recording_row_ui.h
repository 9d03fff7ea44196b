#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "quillport/worker/row_ui.h"

// A row that remembers what the worker did to it, for the tests.
class CRecordingRowUi : public IRowUi {
 public:
  struct SNote {
    UiNotify notify;
    bool bSend;
  };

  void SetBoxBkColor(ERowBox, RowColor) override {}
  void SetBoxTextColor(ERowBox, RowColor) override {}
  void SetBoxText(ERowBox box, const std::string& strText) override {
    Set([&] { m_boxText[box] = strText; });
  }
  void SetProgressBkColor(RowColor) override {}
  void SetProgressPos(int nPos) override {
    Set([&] { m_progress.push_back(nPos); });
  }
  void SetDotColor(RowColor clr) override {
    Set([&] { m_dot = clr; });
  }
  void StartTimer() override {}
  void StopTimer() override {
    if (m_fnOnStopTimer) m_fnOnStopTimer();
  }
  void EnableRestart(bool) override {}
  void EnableSharedControls(bool) override {}
  void Notify(const UiNotify& notify, bool bSend) override {
    Set([&] { m_notes.push_back({notify, bSend}); });
    if (m_fnOnNotify) m_fnOnNotify(notify);
  }

  // Waits until pred (called under the lock) holds; false when the time ran out.
  bool WaitFor(const std::function<bool()>& pred, int nTimeoutMs = 20000) {
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(nTimeoutMs), pred);
  }
  bool WaitForType(int32_t nType, size_t nCount = 1, int nTimeoutMs = 20000) {
    return WaitFor(
        [&] {
          size_t n = 0;
          for (const SNote& note : m_notes) n += note.notify.m_nType == nType;
          return n >= nCount;
        },
        nTimeoutMs);
  }
  std::vector<SNote> Notes() const {
    std::lock_guard lock(m_mutex);
    return m_notes;
  }
  std::vector<int32_t> Types() const {
    std::vector<int32_t> types;
    for (const SNote& note : Notes()) types.push_back(note.notify.m_nType);
    return types;
  }
  std::string BoxText(ERowBox box) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_boxText.find(box);
    return it == m_boxText.end() ? std::string() : it->second;
  }
  std::vector<int> Progress() const {
    std::lock_guard lock(m_mutex);
    return m_progress;
  }
  RowColor DotColor() const {
    std::lock_guard lock(m_mutex);
    return m_dot;
  }

  // Run on the worker's thread: when the timer stops at the end of a run,
  // and after every notification.
  std::function<void()> m_fnOnStopTimer;
  std::function<void(const UiNotify&)> m_fnOnNotify;

  mutable std::mutex m_mutex;  // guards everything below
  std::condition_variable m_cv;
  std::vector<SNote> m_notes;
  std::map<ERowBox, std::string> m_boxText;
  std::vector<int> m_progress;
  RowColor m_dot = 0;

 private:
  template <typename F>
  void Set(F fn) {
    {
      std::lock_guard lock(m_mutex);
      fn();
    }
    m_cv.notify_all();
  }
};
