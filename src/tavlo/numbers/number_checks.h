#pragma once

#include <string>

// Validity tests, the IMEI check digit, and the pieces of the initial-number
// and mask generator.

inline constexpr size_t kImeiLength = 15;

// Exactly 15 characters, all decimal digits.
bool IsImeiDigits(const std::string& s);
// The Luhn digit of a 14-digit body, as a character.
char ImeiCheckDigit(const std::string& strBody14);
std::string AppendImeiCheckDigit(const std::string& strBody14);
// 15 digits whose last one is the check digit of the first 14.
bool IsImeiCheckDigitOk(const std::string& s);
// 15 digits and, when bCheckDigit (CHECK_IMEI), a correct check digit.
bool IsValidImei(const std::string& s, bool bCheckDigit);
// The length asked for, and no tab, CR or LF (list lines and typed numbers alike).
bool IsValidMbsn(const std::string& s, int nMbsnLength);
bool IsValidPsn(const std::string& s, int nPsnLength);

// The serial counter: one decimal digit per "*" of the mask, of any width.
// An empty counter counts as all nines.
bool IsAllNines(const std::string& strCounter);
// Steps the counter by one, keeping its width; false, unchanged, when it is all nines.
bool IncrementCounter(std::string* pCounter);

// The initial number with its "*" positions (among the first n = its length)
// filled from the counter, left to right.
std::string MergeMbsn(const std::string& strInit, const std::string& strMask,
                      const std::string& strCounter);
// As above; a 14-digit body also gets its check digit.
std::string MergeImei(const std::string& strInit, const std::string& strMask,
                      const std::string& strCounter);

// Result codes of CheckInitAndMask.
inline constexpr int kInitMaskOk = 0;
inline constexpr int kInitLengthWrong = -1;
inline constexpr int kMaskLengthWrong = -2;
inline constexpr int kInitMaskMismatch = -3;
inline constexpr int kNotDigits = -4;

// Strings 117 to 120.
inline constexpr const char* kMsgInitLength = "初始码值长度错误!";
inline constexpr const char* kMsgMaskLength = "掩码长度错误!";
inline constexpr const char* kMsgInitDigits = "初始码必须都是数字!";
inline constexpr const char* kMsgMaskChars = "掩码必须是数字或者\"*\"号!";

// Checks an initial number against its mask for a required length n; on a
// failure *pMessage gets the text the caller shows.
int CheckInitAndMask(const std::string& strInit, const std::string& strMask, bool bDigitsOnly,
                     int n, std::string* pMessage = nullptr);
