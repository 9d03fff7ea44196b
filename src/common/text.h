#pragma once

#include <cstdarg>
#include <cstdint>
#include <iosfwd>
#include <string>

// Small text helpers shared by both tools.

// Removes blanks (spaces, tabs, line ends) from both ends.
std::string TrimBlanks(const std::string& s);
// Compares two ASCII texts without regard to case.
bool EqualsNoCase(const std::string& a, const std::string& b);
// Finds needle in hay without regard to case.
// printf into a std::string; the text is not limited in length.
std::string FormatText(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
std::string FormatTextV(const char* pszFormat, va_list args);

// What ReadLineBounded does with the part of a line beyond its limit.
enum class ELongLine {
  kSplit,  // left for the next call, which returns it as a line of its own
  kDrop,   // read and dropped; the call reports the line as cut
};
// Reads the next line of in into *pLine without its '\n', at most nMax
// characters of it, so that a file without line breaks never has to be held
// whole. *pbCut (when given) tells whether characters were dropped. A line of
// exactly nMax characters is not long. False at the end of the input.
bool ReadLineBounded(std::istream& in, size_t nMax, ELongLine eLong, std::string* pLine,
                     bool* pbCut = nullptr);

// The terminal escape that sets the text (or, with bBackground, the
// background) to the 24-bit colour 0xRRGGBB.
std::string AnsiColour(bool bBackground, uint32_t nRgb);

// What a program built without its window says when started without
// --headless.
std::string NoWindowText(const std::string& strProgram);
