#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tavlo/worker/writer_ui.h"

// A window played by the test: records every call, holds the fields, and
// lets the test wait for what the worker does.
class CRecordingWriterUi : public IWriterUi {
 public:
  void DisplayEchoText(const std::string& strText, int nKind) override {
    Record([&] { m_log.emplace_back(strText, nKind); });
  }
  void PostWriteNotify(int nCode) override {
    Record([&] { m_notify.push_back(nCode); });
  }
  std::string GetFieldText(ENumberField eField) override {
    std::lock_guard lock(m_mutex);
    return m_fields[eField];
  }
  void SetFieldText(ENumberField eField, const std::string& strText) override {
    Record([&] { m_fields[eField] = strText; });
  }
  void FocusAndSelectField(ENumberField eField) override {
    Record([&] { m_focused.push_back(eField); });
  }
  void ShowMessage(const std::string& strText) override {
    Record([&] { m_messages.push_back(strText); });
  }
  void SetStatus(int nState) override {
    Record([&] { m_states.push_back(nState); });
  }
  void ClearEcho() override {
    Record([&] { m_log.clear(); });
  }
  std::string GetLcdInterface() override { return "dsi"; }
  std::string GetLcdName() override { return {}; }
  std::string GetDdrPath() override { return {}; }

  void SetField(ENumberField eField, const std::string& s) { SetFieldText(eField, s); }

  // Waits until fnDone holds, checked after every call; false on time-out.
  bool WaitFor(const std::function<bool()>& fnDone, int nTimeoutMs = 20000) {
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(nTimeoutMs), fnDone);
  }
  bool HasLine(const std::string& s) const {
    for (const auto& [strText, nKind] : m_log)
      if (strText == s) return true;
    return false;
  }
  bool HasLine(const std::string& s, int nKind) const {
    for (const auto& entry : m_log)
      if (entry == std::make_pair(s, nKind)) return true;
    return false;
  }
  template <typename F>
  auto Locked(F fn) {
    std::lock_guard lock(m_mutex);
    return fn();
  }

  // Read these under Locked() while a worker runs.
  std::vector<std::pair<std::string, int>> m_log;
  std::vector<int> m_notify;
  std::vector<int> m_states;
  std::vector<std::string> m_messages;
  std::vector<ENumberField> m_focused;
  std::map<ENumberField, std::string> m_fields;

 private:
  template <typename F>
  void Record(F fn) {
    {
      std::lock_guard lock(m_mutex);
      fn();
    }
    m_cv.notify_all();
  }
  std::mutex m_mutex;            // guards every recorded member above
  std::condition_variable m_cv;  // signalled after every recorded call
};
