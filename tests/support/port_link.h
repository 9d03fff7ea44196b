#pragma once

#include <cstdint>

#include "pdl/link_policy.h"
#include "pdl/pdl_link.h"
#include "serial/hst_port.h"

// A link over a port of its own, built from one policy the way the tools
// build theirs.
struct SPortLink {
  SPortLink(const SLinkPolicy& policy, uint8_t* pPacketBuffer)
      : port(policy.port), link(port, policy, pPacketBuffer) {}

  bool Open(int nCom) { return port.uart_init(nCom, 921600, 0) && port.uart_open(); }

  CHstPort port;
  CPdlLink link;
};
