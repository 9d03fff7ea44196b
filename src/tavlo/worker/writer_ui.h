#pragma once

#include <string>

#include "tavlo/numbers/phone_numbers.h"

// Banner states of the main window.
inline constexpr int kStateIdle = 1;
inline constexpr int kStateWriting = 2;
inline constexpr int kStateDone = 3;
inline constexpr int kStateFailed = 4;

// Everything the write worker needs of its window. A Qt window, the console
// front end and the tests implement it; the worker calls it from its own
// thread only, so the implementation carries each call to its own thread.
class IWriterUi : public INumberFieldsUi {
 public:
  virtual void SetStatus(int nState) = 0;
  virtual void ClearEcho() = 0;
  // The LCD interface list entry ("dsi", "rgb" or "mcu"), LCD name and DDR
  // path, read when the phone's LCD/DDR block is built.
  virtual std::string GetLcdInterface() = 0;
  virtual std::string GetLcdName() = 0;
  virtual std::string GetDdrPath() = 0;
};
