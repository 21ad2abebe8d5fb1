// Settings and fault knobs of the emulated transporter/printer. Every fault is off by default,
// so a default-constructed device answers every command correctly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/clock.h"

namespace tovrel {

struct DeviceConfig {
  // The speed the device listens and answers at when it is switched on.
  std::uint32_t initial_baud = 38400;
  // Identification text sent after the inquiry reply header.
  std::string product_id = "VELMOR TP-200 FW 1.04";
  // The identification once an image has been completely received, so that a second inquiry
  // visibly reads fresh data; nullopt keeps `product_id`.
  std::optional<std::string> product_id_after_flash = std::string("VELMOR TP-200 FW 1.05");
  // The device writes the image to flash in pieces of this many bytes; CTS is off while it does.
  std::uint32_t piece_bytes = 128;
  // How long CTS stays off after each piece (and after the last, partial one).
  Clock::Micros busy_per_piece_us = 5'000;
  // A larger announced image is refused ('0' at index 4 of the start-programming reply).
  std::uint32_t max_image_bytes = 64u * 1024u * 1024u;
  // When the device is switched on: CTS is off until then, so a host that honours it sends
  // nothing before.
  Clock::Micros switched_on_at = 0;
};

// What goes wrong with the reply to one kind of command.
enum class ReplyFault {
  kNone,
  // The command is carried out, but nothing is sent back.
  kNoReply,
  // Inquiry: header byte 0 is 'X' instead of ESC. Baud rate: ESC "!b0C" although the device does
  // switch its speed. Start-programming: '0' at index 4, and the device does not start.
  kWrongReply,
  // The command is carried out; the last `short_reply_missing_bytes` bytes of the reply (for the
  // inquiry: of header and identification together) are not sent.
  kShortReply,
};

struct DeviceFaults {
  // Nothing is ever sent back; commands are still carried out (a baud-rate change then takes
  // effect as soon as the command has arrived).
  bool silent = false;

  ReplyFault inquiry = ReplyFault::kNone;
  ReplyFault baud = ReplyFault::kNone;
  ReplyFault start = ReplyFault::kNone;
  std::uint32_t short_reply_missing_bytes = 1;

  // Raw text put at index 4 to 6 of the inquiry header instead of the zero-padded count (cut or
  // padded with blanks to 3 characters), e.g. "999", "-05", "ab1", "  5".
  std::optional<std::string> inquiry_count_text;
  // Number of identification bytes actually sent after the header (the product id cut short, or
  // padded with '.'), whatever the count field says.
  std::optional<std::uint32_t> inquiry_text_bytes;

  // Every baud-rate command is answered ESC "!b0C" and the speed stays.
  bool refuse_rate_change = false;

  // CTS is off from the start and never comes on.
  bool cts_stuck_off = false;
  // CTS goes off for good once this many image pieces have been received (0: as soon as a
  // start-programming command has been accepted).
  std::optional<std::uint32_t> cts_stuck_off_after_pieces;
  // CTS goes off for `cts_hold_us` once this many image bytes have arrived (in the middle of a
  // piece or at its end), then comes back: a device that stalls for a while and recovers.
  std::optional<std::uint32_t> cts_hold_at_image_byte;
  Clock::Micros cts_hold_us = 0;

  // This many NUL bytes follow each reply byte but the last.
  std::uint32_t reply_nuls = 0;
  // Time between the arrival of a command's last byte and the first byte of its reply.
  Clock::Micros reply_delay_us = 0;
};

}  // namespace tovrel
