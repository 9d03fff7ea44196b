#include "common/ini_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "common/text.h"

namespace {

// Serialises read-modify-write cycles of this process, so that two threads
// writing keys of the same file do not lose each other's change.
std::mutex g_writeMutex;

std::vector<std::string> ReadLines(const std::string& strPath, bool* pCrlf) {
  std::vector<std::string> lines;
  std::ifstream in(strPath, std::ios::binary);
  std::string line;
  bool bCrlf = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
      bCrlf = true;
    }
    lines.push_back(std::move(line));
  }
  if (pCrlf) *pCrlf = bCrlf;
  return lines;
}

// The section name of a "[name]" line, or false when the line is no header.
bool SectionOf(const std::string& line, std::string* pName) {
  const std::string t = TrimBlanks(line);
  if (t.size() < 2 || t.front() != '[') return false;
  const size_t close = t.find(']');
  if (close == std::string::npos) return false;
  *pName = TrimBlanks(t.substr(1, close - 1));
  return true;
}

// Splits "key = value"; false for comments, blank lines and lines without '='.
bool KeyOf(const std::string& line, std::string* pKey, std::string* pValue) {
  const std::string t = TrimBlanks(line);
  if (t.empty() || t[0] == ';') return false;
  const size_t eq = t.find('=');
  if (eq == std::string::npos) return false;
  *pKey = TrimBlanks(t.substr(0, eq));
  if (pValue) *pValue = TrimBlanks(t.substr(eq + 1));
  return true;
}

bool Lookup(const std::string& strSection, const std::string& strKey, const std::string& strPath,
            std::string* pValue) {
  bool bInSection = false;
  std::string name, key;
  for (const std::string& line : ReadLines(strPath, nullptr)) {
    if (SectionOf(line, &name)) {
      bInSection = EqualsNoCase(name, strSection);
    } else if (bInSection && KeyOf(line, &key, pValue) && EqualsNoCase(key, strKey)) {
      return true;
    }
  }
  return false;
}

bool WriteWhole(const std::string& strPath, const std::string& strText) {
  const std::string tmp = strPath + ".tmp" + std::to_string(getpid());
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < strText.size()) {
    const ssize_t n = write(fd, strText.data() + done, strText.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool bOk = done == strText.size() && fsync(fd) == 0;
  if (close(fd) != 0 || !bOk || rename(tmp.c_str(), strPath.c_str()) != 0) {
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
  std::vector<std::string> lines = ReadLines(strPath, &bCrlf);
  const std::string newLine = strKey + "=" + strValue;

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
