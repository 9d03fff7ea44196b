#include "common/ini_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <fstream>
#include <istream>
#include <mutex>
#include <sstream>
#include <unordered_map>
#include <vector>

#include "common/text.h"
#include "platform/append_file.h"

namespace {

// Serialises read-modify-write cycles of this process, so that two threads
// writing keys of the same file do not lose each other's change.
std::mutex g_writeMutex;

// Far longer than any setting or path; bounds what one line can cost, however
// large a damaged file is.
constexpr size_t kMaxLineLength = 65536;

// Reads the next line, cut to kMaxLineLength, without its CR LF or LF.
bool NextLine(std::istream& in, std::string* pLine, bool* pbCrlf, bool* pbCut) {
  if (!ReadLineBounded(in, kMaxLineLength, ELongLine::kDrop, pLine, pbCut)) return false;
  if (!pLine->empty() && pLine->back() == '\r') {
    pLine->pop_back();
    *pbCrlf = true;
  }
  return true;
}

// All lines of the file, for a rewrite; false when a line was too long to be
// kept as it is, or when the file is there but cannot be read: a rewrite from
// what could be read would drop every section of it.
bool ReadLines(const std::string& strPath, std::vector<std::string>* pLines, bool* pCrlf) {
  const int fd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  close(fd);
  std::ifstream in(strPath, std::ios::binary);
  if (!in) return false;
  std::string line;
  bool bCrlf = false, bCut = false;
  while (NextLine(in, &line, &bCrlf, &bCut)) {
    if (bCut) return false;
    pLines->push_back(std::move(line));
  }
  if (in.bad()) return false;
  *pCrlf = bCrlf;
  return true;
}

// The section name of a "[name]" line, or false when the line is no header.
bool SectionOf(const std::string& line, std::string* pName) {
  // Most lines are keys: tell them apart without copying them.
  const size_t nFirst = line.find_first_not_of(" \t\r\n");
  if (nFirst == std::string::npos || line[nFirst] != '[') return false;
  const std::string t = TrimBlanks(line);
  if (t.size() < 2 || t.front() != '[') return false;
  const size_t close = t.find(']');
  if (close == std::string::npos) return false;
  *pName = TrimBlanks(t.substr(1, close - 1));
  return true;
}

bool IsQuoted(const std::string& value) {
  return value.size() >= 2 && value.front() == '"' && value.back() == '"';
}

// A value in double quotes is read without them, as the platform's profile
// functions read it (FILEPATH="D:\lists\imei.txt"). Anything else stands as
// it is, a ";" after the value included: there is no inline comment.
std::string Unquoted(std::string value) {
  if (IsQuoted(value)) return value.substr(1, value.size() - 2);
  return value;
}

// Splits "key = value"; false for comments, blank lines and lines without '='.
bool KeyOf(const std::string& line, std::string* pKey, std::string* pValue) {
  const std::string t = TrimBlanks(line);
  if (t.empty() || t[0] == ';') return false;
  const size_t eq = t.find('=');
  if (eq == std::string::npos) return false;
  *pKey = TrimBlanks(t.substr(0, eq));
  // A stray CR inside a line ends the value as it ends a CR LF line: a value
  // read is always one that can be written back.
  if (pValue) *pValue = Unquoted(TrimBlanks(t.substr(eq + 1, t.find('\r', eq + 1) - (eq + 1))));
  return true;
}

// Scans the file line by line for the first value of the key: a lookup
// holds one line, whatever the size of the file.
bool ScanFor(std::istream& in, const std::string& strSection, const std::string& strKey,
             std::string* pValue) {
  bool bInSection = false, bCrlf = false;
  std::string line, name, key;
  while (NextLine(in, &line, &bCrlf, nullptr)) {
    if (SectionOf(line, &name)) {
      bInSection = EqualsNoCase(name, strSection);
    } else if (bInSection && KeyOf(line, &key, pValue) && EqualsNoCase(key, strKey)) {
      return true;
    }
  }
  return false;
}

// The tools look keys up one by one, hundreds at start-up; in a file of
// 100,000 sections each scan would cost the whole file. Files up to this size
// are indexed once and the index is used while their bytes stay the same.
constexpr size_t kMaxIndexedFile = 4 * 1024 * 1024;

std::string Folded(const std::string& s) {
  std::string t = s;
  for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return t;
}

// "section\nkey", both folded: no name can hold a line break.
std::string IndexKey(const std::string& strSection, const std::string& strKey) {
  return Folded(strSection) + '\n' + Folded(strKey);
}

struct SIndexedFile {
  std::string strPath;
  std::string strBytes;                                 // what the index was built from
  std::unordered_map<std::string, std::string> values;  // IndexKey -> the first value
};
std::mutex g_indexMutex;  // guards g_index
SIndexedFile g_index;

void BuildIndex(const std::string& strPath, std::string strBytes) {
  g_index.strPath = strPath;
  g_index.values.clear();
  std::istringstream in(strBytes);
  bool bCrlf = false, bInSection = false;
  std::string line, section, key, value;
  while (NextLine(in, &line, &bCrlf, nullptr)) {
    if (SectionOf(line, &section)) {
      bInSection = true;
    } else if (bInSection && KeyOf(line, &key, &value)) {
      g_index.values.emplace(IndexKey(section, key), std::move(value));  // first one wins
    }
  }
  g_index.strBytes = std::move(strBytes);
}

bool Lookup(const std::string& strSection, const std::string& strKey, const std::string& strPath,
            std::string* pValue) {
  std::ifstream in(strPath, std::ios::binary | std::ios::ate);
  if (!in) return false;
  const std::streamoff nSize = in.tellg();
  in.seekg(0);
  if (nSize < 0 || static_cast<size_t>(nSize) > kMaxIndexedFile) {
    return ScanFor(in, strSection, strKey, pValue);
  }
  std::string strBytes(static_cast<size_t>(nSize), '\0');
  in.read(strBytes.data(), nSize);
  strBytes.resize(static_cast<size_t>(in.gcount()));

  std::lock_guard lock(g_indexMutex);
  if (g_index.strPath != strPath || g_index.strBytes != strBytes) {
    BuildIndex(strPath, std::move(strBytes));
  }
  const auto it = g_index.values.find(IndexKey(strSection, strKey));
  if (it == g_index.values.end()) return false;
  *pValue = it->second;
  return true;
}

// Moves strFrom over strTo. filesystem::rename replaces an existing file on
// every system, as POSIX rename does; the C library's rename does not on all.
bool ReplaceFile(const std::string& strFrom, const std::string& strTo) {
  std::error_code ec;
  std::filesystem::rename(strFrom, strTo, ec);
  return !ec;
}

bool WriteWhole(const std::string& strPath, const std::string& strText) {
  const std::string tmp = strPath + ".tmp" + std::to_string(getpid());
  // A file of its own, never one found under the name: whatever lies there
  // (left by a crash, or a link planted to have the save written elsewhere)
  // goes first, and the open creates a new file or fails. The rename then
  // replaces a link at strPath itself, never its target.
  unlink(tmp.c_str());
  const int fd = platform::OpenNoFollow(tmp, O_WRONLY | O_CREAT | O_EXCL);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < strText.size()) {
    const ssize_t n = write(fd, strText.data() + done, strText.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool bOk = done == strText.size() && fsync(fd) == 0;
  if (close(fd) != 0 || !bOk || !ReplaceFile(tmp, strPath)) {
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace

std::string IniGetString(const std::string& strSection, const std::string& strKey,
                         const std::string& strDefault, const std::string& strPath) {
  std::string value;
  return Lookup(strSection, strKey, strPath, &value) ? value : strDefault;
}

int IniGetInt(const std::string& strSection, const std::string& strKey, int nDefault,
              const std::string& strPath) {
  std::string value;
  if (!Lookup(strSection, strKey, strPath, &value)) return nDefault;
  long long n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') break;
    n = n * 10 + (c - '0');
    if (n > INT_MAX) return INT_MAX;
  }
  return static_cast<int>(n);
}

bool IniWriteString(const std::string& strSection, const std::string& strKey,
                    const std::string& strValue, const std::string& strPath) {
  // A line break would plant lines of its own in the file: new keys, even
  // new sections.
  for (const std::string* p : {&strSection, &strKey, &strValue}) {
    if (p->find_first_of("\r\n") != std::string::npos) return false;
  }
  std::lock_guard lock(g_writeMutex);
  bool bCrlf = false;
  std::vector<std::string> lines;
  // A line too long to hold is not cut short by a rewrite: the file is left alone.
  if (!ReadLines(strPath, &lines, &bCrlf)) return false;
  // A value that is itself in quotes would lose them when read back.
  const std::string newLine = strKey + "=" + (IsQuoted(strValue) ? '"' + strValue + '"' : strValue);

  bool bInSection = false, bDone = false;
  size_t sectionEnd = std::string::npos;  // index after the section's last non-blank line
  std::string name, key;
  for (size_t i = 0; i < lines.size() && !bDone; ++i) {
    if (SectionOf(lines[i], &name)) {
      if (bInSection) break;  // the key is not in the section: append below
      bInSection = EqualsNoCase(name, strSection);
      if (bInSection) sectionEnd = i + 1;
    } else if (bInSection) {
      if (KeyOf(lines[i], &key, nullptr) && EqualsNoCase(key, strKey)) {
        lines[i] = newLine;
        bDone = true;
      } else if (!TrimBlanks(lines[i]).empty()) {
        sectionEnd = i + 1;
      }
    }
  }
  if (!bDone) {
    if (sectionEnd != std::string::npos) {
      lines.insert(lines.begin() + static_cast<long>(sectionEnd), newLine);
    } else {
      lines.push_back("[" + strSection + "]");
      lines.push_back(newLine);
    }
  }

  std::ostringstream out;
  for (const std::string& line : lines) out << line << (bCrlf ? "\r\n" : "\n");
  return WriteWhole(strPath, out.str());
}
