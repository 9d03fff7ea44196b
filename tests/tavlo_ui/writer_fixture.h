#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/message_queue.h"
#include "pty_phone.h"
#include "tavlo/ui/startup.h"
#include "tavlo/ui/writer_window.h"
#include "wait_until.h"
#include "writer_station.h"

// A window host played by the test: records boxes and the log as shown.
class CFakeWriterHost final : public IWriterHost {
 public:
  void MessageBox(const std::string& strText) override { boxes.push_back(strText); }
  std::optional<std::string> ChooseDdrFile() override { return chosenDdr; }
  bool RunSetup(CImeiSetup& setup) override {
    ++nSetups;
    return fnSetup && fnSetup(setup);
  }
  void LogAppended(const SLogLine& line) override { shown.push_back(line.strText); }
  void LogCleared() override { shown.clear(); }
  void Changed() override { ++nChanges; }

  std::vector<std::string> boxes;
  std::vector<std::string> shown;  // the log as a front end would hold it
  std::optional<std::string> chosenDdr;
  std::function<bool(CImeiSetup&)> fnSetup;
  int nSetups = 0;
  int nChanges = 0;
};

// A base folder with the writer's files, the app started from it, and the
// window thread's queue bound to the test's thread.
class WriterFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("PHONE_PORTS_DIR", m_ports.Path().c_str(), 1);
    setenv("PHONE_COM_MAP", m_base.File("com-ports.ini").c_str(), 1);
    MakeWriterStation(m_base.Path(), 9000, "[CHIP_1]\nCHIPNAME=n7731\nFACTNAME=norqfact\n");
  }
  void TearDown() override {
    unsetenv("PHONE_PORTS_DIR");
    unsetenv("PHONE_COM_MAP");
  }
  void WriteFile(const std::string& strName, const std::string& strText) {
    std::ofstream(m_base.File(strName), std::ios::binary | std::ios::trunc) << strText;
  }
  // Starts the app with these wimei.ini lines and opens the window.
  CTavloWindow& Open(const std::string& strSettings) {
    WriteFile("ini/wimei.ini", "[GENERAL]\nCHIPSET=n7731\nMAGIC_NUMBER=0x12345678\n" + strSettings);
    const std::string strName = "tavlo-test-" + std::to_string(getpid());
    EXPECT_EQ(StartTavlo(strName, m_base.Path(), &m_app), ETavloStart::Ok);
    m_pWindow = std::make_unique<CTavloWindow>(m_host, m_queue, m_app);
    return *m_pWindow;
  }
  // Serves the window queue until fnDone holds; false after nTimeoutMs.
  bool PumpUntil(const std::function<bool()>& fnDone, int nTimeoutMs = 30000) {
    return ::PumpUntil(m_queue, fnDone, std::chrono::milliseconds(nTimeoutMs));
  }
  const SFieldView& Field(ENumberField eField) const {
    return m_pWindow->View().fields[static_cast<size_t>(eField)];
  }
  bool LogHas(const std::string& strText, int nKind) const {
    for (const SLogLine& line : m_pWindow->View().log) {
      if (line.strText == strText && line.nKind == nKind) return true;
    }
    return false;
  }

  CTempDir m_base, m_ports;
  CFakeWriterHost m_host;
  CMessageQueue m_queue;
  CQueueBinding m_binding{m_queue};
  STavloApp m_app;
  std::unique_ptr<CTavloWindow> m_pWindow;  // last: gone before what it uses
};
