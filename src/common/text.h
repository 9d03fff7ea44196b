#pragma once

#include <cstdarg>
#include <string>

// Small text helpers shared by both tools.

// Removes blanks (spaces, tabs, line ends) from both ends.
std::string TrimBlanks(const std::string& s);
// Compares two ASCII texts without regard to case.
bool EqualsNoCase(const std::string& a, const std::string& b);
// Finds needle in hay without regard to case.
bool ContainsNoCase(const std::string& hay, const std::string& needle);
// printf into a std::string; the text is not limited in length.
std::string FormatText(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
std::string FormatTextV(const char* pszFormat, va_list args);
