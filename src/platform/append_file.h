#pragma once

#include <cstddef>
#include <string>

namespace platform {

// Appends the bytes to the file (created when missing) in one write that
// lands whole at the end, even with other threads and processes appending
// to the same file at once. False when the file cannot be opened or written.
bool AppendToFile(const std::string& strPath, const void* pData, size_t nLen);

}  // namespace platform
