#pragma once

// The two tools share the serial and protocol code; where they differ (time
// limits, the stop flag, logging, the response-name table) the code asks
// which tool it serves.
enum class EToolFlavor {
  Download,  // quillport: time-out classes, the operator's stop flag, port logs
  Writer,    // tavlo: fixed time limits, no stop flag, no logs
};
