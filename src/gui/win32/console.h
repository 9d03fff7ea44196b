#pragma once

// The programs are Windows GUI programs (no console window flashes up when
// an operator starts one), and the same file runs --headless for line
// scripts. For that the program takes the console it was started from:
// standard handles it inherited (redirected to a file or a pipe) are kept;
// the others are bound to the parent's console when there is one.
namespace gui::win32 {

// Call first thing in --headless. False when there is neither an inherited
// handle nor a parent console: the output then goes nowhere, the exit
// status still counts.
bool AttachParentConsole();

}  // namespace gui::win32
