#pragma once

#include <QColor>
#include <cstdint>

// The models' colours (0x00RRGGBB, as the Win32 windows draw them too) as Qt
// paints them, and back.
namespace gui {

inline QColor ToQColor(uint32_t clr) {
  return QColor(static_cast<int>(clr >> 16 & 0xFF), static_cast<int>(clr >> 8 & 0xFF),
                static_cast<int>(clr & 0xFF));
}

inline uint32_t FromQColor(const QColor& clr) {
  return static_cast<uint32_t>(clr.red()) << 16 | static_cast<uint32_t>(clr.green()) << 8 |
         static_cast<uint32_t>(clr.blue());
}

}  // namespace gui
