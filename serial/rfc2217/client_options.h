// The limits on every wait of the RFC 2217 client. The defaults suit a device server on a local
// network; tests shorten them.
#pragma once

#include <cstdint>

#include "serial/interruption.h"
#include "serial/trace.h"

namespace tovrel::rfc2217 {

struct ClientOptions {
  // Setting up the TCP connection.
  std::uint32_t connect_timeout_ms = 5000;
  // The server agreeing to COM-PORT-OPTION and to binary transmission both ways.
  std::uint32_t negotiation_timeout_ms = 3000;
  // After agreement, the server's answers to the questions about the settings in force and its
  // first report of the modem lines. A server that stays silent here is still usable: the open
  // goes on with default settings and the modem lines reported as all off.
  std::uint32_t settle_timeout_ms = 1000;
  // Each batch of acknowledgements (line state, DTR, purge), and every request sent without
  // waiting (a receive purge, the question behind each write): one left unanswered this long
  // means the server is gone. Long enough for a live link that stalls for six seconds, as a
  // lost segment and its retransmissions can, short enough that a stopped server ends the run
  // within ten.
  std::uint32_t reply_timeout_ms = 7000;
  // A server silent this long while nothing is asked of it is asked a question, so that the
  // reply time-out above applies to a wait on a held line too.
  std::uint32_t silence_question_ms = 1000;
  // Writes the server has not yet shown it has are kept to this much line time at the rate in
  // force: enough to keep the far line busy across a round trip of up to this long, little
  // enough that the host stays close behind the device and a stall cannot pile up data.
  std::uint32_t unconfirmed_window_ms = 1000;
  // Stands in for "no limit" in the Win32 time-outs (all read time-outs 0, both write time-outs
  // 0): such a call gives up after this long and returns short. Five minutes, far above the
  // longest wait the program itself sets up (about 61 s for a 256-byte write).
  std::uint64_t unlimited_wait_cap_ms = 300000;
  // When set, the waits for the device end early (EINTR) once a stop is requested: connecting
  // and agreeing the protocol, a read, and a write held back by the server before any of its
  // bytes went. Acknowledged requests (line state, DTR, purge) and drains always run to their
  // end, so that the port's settings are known and a piece already sent reaches the device.
  Interruption* interruption = nullptr;
  // When set, the connection, the option negotiation and each report of the modem lines and of
  // flow control are written to it.
  Trace* trace = nullptr;
};

}  // namespace tovrel::rfc2217
