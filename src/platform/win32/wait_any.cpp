#include <windows.h>

#include "platform/wait_handle.h"

namespace platform {

int WaitAny(std::span<const WaitHandle> handles, int nTimeoutMs) {
  HANDLE objects[MAXIMUM_WAIT_OBJECTS];
  int index[MAXIMUM_WAIT_OBJECTS];
  DWORD nObjects = 0;
  for (size_t i = 0; i < handles.size() && nObjects < MAXIMUM_WAIT_OBJECTS; ++i) {
    if (handles[i] == kNoWaitHandle) continue;
    index[nObjects] = static_cast<int>(i);
    objects[nObjects++] = handles[i];
  }
  const DWORD dwMs = nTimeoutMs < 0 ? INFINITE : static_cast<DWORD>(nTimeoutMs);
  if (nObjects == 0) {
    Sleep(dwMs);  // nothing to wait for: the time is all there is
    return kWaitTimedOut;
  }
  const DWORD rc = WaitForMultipleObjects(nObjects, objects, FALSE, dwMs);
  if (rc < WAIT_OBJECT_0 + nObjects) return index[rc - WAIT_OBJECT_0];
  return rc == WAIT_TIMEOUT ? kWaitTimedOut : kWaitFailed;
}

}  // namespace platform
