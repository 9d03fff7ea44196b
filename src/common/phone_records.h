#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// The record of every phone a station started: one JSON object per line,
// appended to log/records/<YYYY-MM-DD>.jsonl below the base folder. Workers
// hand their records over and go on at once; one writer thread appends
// them, in the order handed over, each with one write that is synced before
// the next, so that a crash or a full disk costs at most the line it cut.
// A record written is never rewritten.

// Where a copy of every record goes besides the file (a database table).
// Called on the writer thread only, one record at a time, in order.
class IRecordStore {
 public:
  virtual ~IRecordStore() = default;
  virtual void Store(const std::string& strRecord) = 0;
  // The program is ending: the call under way and those still to come give
  // up within a short budget (what they could not store is kept for the
  // next start), so that an unanswering server never holds the exit up.
  // Called on any thread.
  virtual void Hurry() {}
};

class CRecordWriter {
 public:
  // strFolder: the records folder (created when missing); strStation: what
  // names this station in every record.
  CRecordWriter(std::string strFolder, std::string strStation);
  // Writes what was handed over (the store hurried), then ends the thread.
  ~CRecordWriter();
  CRecordWriter(const CRecordWriter&) = delete;
  CRecordWriter& operator=(const CRecordWriter&) = delete;

  // Records handed over from now on also go to pStore.
  void SetStore(std::shared_ptr<IRecordStore> pStore);
  // Called on the writer thread with every record once it is in its file
  // (the console's --json stream); nullptr ends the calls.
  void SetListener(std::function<void(const std::string&)> fnListener);

  // Never waits for a disk or a server.
  void Submit(std::string strRecord);
  // Returns once every record handed over so far is written and stored.
  void Flush();
  // The program is ending: the store's calls give up soon (IRecordStore::Hurry).
  void Hurry();

  const std::string& Folder() const { return m_strFolder; }
  const std::string& Station() const { return m_strStation; }

 private:
  void Serve();
  void Write(const std::string& strRecord);

  const std::string m_strFolder;
  const std::string m_strStation;
  std::shared_ptr<IRecordStore> m_pStore;
  // Held while the listener runs, so that once SetListener returns the
  // listener before it is never called again.
  std::mutex m_listenerMutex;
  std::function<void(const std::string&)> m_fnListener;  // guarded by m_listenerMutex
  std::mutex m_mutex;  // guards the queue, the counts and the quit flag
  std::condition_variable m_changed;
  std::deque<std::string> m_queue;
  uint64_t m_nSubmitted = 0, m_nDone = 0;
  bool m_bQuit = false;
  std::thread m_thread;  // last: starts after the members above exist
};

// The process's records: started once by the program's start-up with its
// base folder, then reached by every worker. Before that (a test of a lone
// worker) records go nowhere.
CRecordWriter* StartPhoneRecords(const std::string& strBaseFolder, const std::string& strStation);
CRecordWriter* PhoneRecords();
void SubmitPhoneRecord(std::string strRecord);

// What names the station in its records: [RECORD] STATION= of strIniPath,
// or the host name and the base folder.
std::string RecordStationName(const std::string& strBaseFolder, const std::string& strIniPath);
