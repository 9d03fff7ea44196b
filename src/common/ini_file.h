#pragma once

#include <string>

// INI profile files, read and written the way the tools' settings files have
// always been: section and key names match without regard to case; values
// are taken as they stand, with surrounding blanks trimmed (a ";" after a
// value is part of it) and one pair of enclosing double quotes removed; a
// missing file, section or key gives the caller's default. Every call reads
// the file anew.
// Lines are read up to 64 KiB; the rest of a longer line is not read.
//
// A write replaces the key's line in place, or appends the key at the end of
// its section (creating the section at the end of the file when missing),
// keeping every other line and comment. It never creates missing folders.
// The new file is written beside the old one and renamed over it, so a crash
// leaves either the old or the new settings, never half a file.

std::string IniGetString(const std::string& strSection, const std::string& strKey,
                         const std::string& strDefault, const std::string& strPath);
// Reads the value's leading decimal digits; 0 when it starts with none, the
// default when the key is missing.
int IniGetInt(const std::string& strSection, const std::string& strKey, int nDefault,
              const std::string& strPath);
// A value in double quotes is written in a second pair, so that it reads
// back as it was. Returns false when the file cannot be written (missing
// folder, read-only), when a name or the value holds a line break, or when
// the file is there but cannot be read, or has a line longer than 64 KiB: a
// rewrite could not keep what it holds (the file is left alone).
bool IniWriteString(const std::string& strSection, const std::string& strKey,
                    const std::string& strValue, const std::string& strPath);
