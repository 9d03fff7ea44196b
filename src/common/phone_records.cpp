#include "common/phone_records.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <chrono>
#include <filesystem>

#include "common/ini_file.h"
#include "common/json_writer.h"
#include "platform/append_file.h"

CRecordWriter::CRecordWriter(std::string strFolder, std::string strStation)
    : m_strFolder(std::move(strFolder)),
      m_strStation(std::move(strStation)),
      m_thread([this] { Serve(); }) {
  std::error_code ec;
  std::filesystem::create_directories(m_strFolder, ec);
}

CRecordWriter::~CRecordWriter() {
  Hurry();
  {
    std::lock_guard lock(m_mutex);
    m_bQuit = true;
  }
  m_changed.notify_all();
  m_thread.join();
}

void CRecordWriter::SetStore(std::shared_ptr<IRecordStore> pStore) {
  std::lock_guard lock(m_mutex);
  m_pStore = std::move(pStore);
}

void CRecordWriter::SetListener(std::function<void(const std::string&)> fnListener) {
  std::lock_guard lock(m_listenerMutex);
  m_fnListener = std::move(fnListener);
}

void CRecordWriter::Submit(std::string strRecord) {
  {
    std::lock_guard lock(m_mutex);
    m_queue.push_back(std::move(strRecord));
    ++m_nSubmitted;
  }
  m_changed.notify_all();
}

void CRecordWriter::Flush() {
  std::unique_lock lock(m_mutex);
  const uint64_t nWanted = m_nSubmitted;
  m_changed.wait(lock, [&] { return m_nDone >= nWanted; });
}

void CRecordWriter::Hurry() {
  std::shared_ptr<IRecordStore> pStore;
  {
    std::lock_guard lock(m_mutex);
    pStore = m_pStore;
  }
  if (pStore) pStore->Hurry();
}

void CRecordWriter::Serve() {
  std::unique_lock lock(m_mutex);
  for (;;) {
    m_changed.wait(lock, [&] { return m_bQuit || !m_queue.empty(); });
    if (m_queue.empty()) return;  // quitting with everything written
    std::string strRecord = std::move(m_queue.front());
    m_queue.pop_front();
    // A copy: the store may be replaced while this record is on its way.
    const std::shared_ptr<IRecordStore> pStore = m_pStore;
    lock.unlock();
    Write(strRecord);
    if (pStore) pStore->Store(strRecord);
    {
      std::lock_guard listenerLock(m_listenerMutex);
      if (m_fnListener) m_fnListener(strRecord);
    }
    lock.lock();
    ++m_nDone;
    m_changed.notify_all();
  }
}

void CRecordWriter::Write(const std::string& strRecord) {
  const std::string strPath =
      m_strFolder + "/" + LocalDate(std::chrono::system_clock::now()) + ".jsonl";
#ifdef O_BINARY
  constexpr int kBinary = O_BINARY;  // no line-end translation on Windows
#else
  constexpr int kBinary = 0;
#endif
  const int fd = platform::OpenInOwnFolder(strPath, O_RDWR | O_APPEND | O_CREAT | kBinary);
  if (fd < 0) return;  // a missing folder or a full disk loses the record, never a phone
  // A last line cut short (a crash, a full disk) is ended first: it stays
  // the one damaged line instead of taking this record with it.
  std::string strLine = strRecord + "\n";
  const off_t nSize = lseek(fd, 0, SEEK_END);
  char last = '\n';
  if (nSize > 0 && pread(fd, &last, 1, nSize - 1) == 1 && last != '\n') strLine.insert(0, 1, '\n');
  if (write(fd, strLine.data(), strLine.size()) == static_cast<ssize_t>(strLine.size())) fsync(fd);
  close(fd);
}

namespace {

std::mutex g_recordsMutex;
std::unique_ptr<CRecordWriter> g_pRecords;

}  // namespace

CRecordWriter* StartPhoneRecords(const std::string& strBaseFolder, const std::string& strStation) {
  std::lock_guard lock(g_recordsMutex);
  if (!g_pRecords)
    g_pRecords = std::make_unique<CRecordWriter>(strBaseFolder + "/log/records", strStation);
  return g_pRecords.get();
}

CRecordWriter* PhoneRecords() {
  std::lock_guard lock(g_recordsMutex);
  return g_pRecords.get();
}

void SubmitPhoneRecord(std::string strRecord) {
  if (CRecordWriter* pRecords = PhoneRecords()) pRecords->Submit(std::move(strRecord));
}

std::string RecordStationName(const std::string& strBaseFolder, const std::string& strIniPath) {
  const std::string strConfigured = IniGetString("RECORD", "STATION", "", strIniPath);
  if (!strConfigured.empty()) return strConfigured;
  char szHost[256] = {};
#ifdef _WIN32
  DWORD dwLen = sizeof szHost - 1;
  GetComputerNameA(szHost, &dwLen);
#else
  gethostname(szHost, sizeof szHost - 1);
#endif
  std::error_code ec;
  return std::string(szHost) + ":" +
         std::filesystem::absolute(strBaseFolder, ec).lexically_normal().string();
}
