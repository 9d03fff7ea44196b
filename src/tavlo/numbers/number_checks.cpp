#include "tavlo/numbers/number_checks.h"

#include <algorithm>

namespace {
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
}  // namespace

bool IsImeiDigits(const std::string& s) {
  return s.size() == kImeiLength && std::all_of(s.begin(), s.end(), IsDigit);
}

char ImeiCheckDigit(const std::string& strBody14) {
  int sum = 0;
  for (size_t i = 0; i < kImeiLength - 1 && i < strBody14.size(); ++i) {
    int d = strBody14[i] - '0';
    if (i % 2 == 1) {
      d *= 2;
      if (d > 9) d -= 9;
    }
    sum += d;
  }
  return static_cast<char>('0' + (10 - sum % 10) % 10);
}

std::string AppendImeiCheckDigit(const std::string& strBody14) {
  return strBody14 + ImeiCheckDigit(strBody14);
}

bool IsImeiCheckDigitOk(const std::string& s) {
  return IsImeiDigits(s) && s[kImeiLength - 1] == ImeiCheckDigit(s);
}

bool IsValidImei(const std::string& s, bool bCheckDigit) {
  return IsImeiDigits(s) && (!bCheckDigit || IsImeiCheckDigitOk(s));
}

bool IsValidMbsn(const std::string& s, int nMbsnLength) {
  // A tab or a line break would split the history and spool lines the number
  // is kept in, and the number would be read back as another one.
  return nMbsnLength >= 0 && s.size() == static_cast<size_t>(nMbsnLength) &&
         s.find_first_of("\t\r\n") == std::string::npos;
}

bool IsValidPsn(const std::string& s, int nPsnLength) {
  return IsValidMbsn(s, nPsnLength);
}

bool IsAllNines(const std::string& strCounter) {
  return std::all_of(strCounter.begin(), strCounter.end(), [](char c) { return c == '9'; });
}

bool IncrementCounter(std::string* pCounter) {
  if (IsAllNines(*pCounter)) return false;
  // Decimal addition on the text itself, so the width is not bounded by an integer type.
  for (auto it = pCounter->rbegin(); it != pCounter->rend(); ++it) {
    if (*it != '9') {
      ++*it;
      break;
    }
    *it = '0';
  }
  return true;
}

std::string MergeMbsn(const std::string& strInit, const std::string& strMask,
                      const std::string& strCounter) {
  std::string candidate = strInit;
  size_t next = 0;
  for (size_t i = 0; i < candidate.size() && i < strMask.size() && next < strCounter.size(); ++i) {
    if (strMask[i] == '*') candidate[i] = strCounter[next++];
  }
  return candidate;
}

std::string MergeImei(const std::string& strInit, const std::string& strMask,
                      const std::string& strCounter) {
  std::string candidate = MergeMbsn(strInit, strMask, strCounter);
  return candidate.size() == kImeiLength - 1 ? AppendImeiCheckDigit(candidate) : candidate;
}

int CheckInitAndMask(const std::string& strInit, const std::string& strMask, bool bDigitsOnly,
                     int n, std::string* pMessage) {
  auto fail = [pMessage](int nCode, const char* pszMessage) {
    if (pMessage) *pMessage = pszMessage;
    return nCode;
  };
  if (n < 0 || strInit.size() != static_cast<size_t>(n))
    return fail(kInitLengthWrong, kMsgInitLength);
  if (strMask.size() != static_cast<size_t>(n)) return fail(kMaskLengthWrong, kMsgMaskLength);
  if (bDigitsOnly) {
    for (size_t i = 0; i < strInit.size(); ++i) {
      if (!IsDigit(strInit[i])) return fail(kNotDigits, kMsgInitDigits);
      if (!IsDigit(strMask[i]) && strMask[i] != '*') return fail(kNotDigits, kMsgMaskChars);
    }
  }
  for (size_t i = 0; i < strInit.size(); ++i) {
    const bool bOk = strMask[i] == '*' ? strInit[i] == '0' : strInit[i] == strMask[i];
    if (!bOk) return fail(kInitMaskMismatch, kMsgMaskChars);
  }
  return kInitMaskOk;
}
