// The record's exact bytes, bad bytes from the device included, and its timestamps.
#include "app/run_record.h"

#include <gtest/gtest.h>

#include <string>

namespace tovrel {
namespace {

// Every kind of member: texts, numbers, nulls; control bytes escaped, and an identification
// that is not UTF-8 shown with U+FFFD and given exactly in hex.
TEST(RunRecordText, OfATransferThatFailed) {
  RunRecord record;
  record.version = "1.0.0";
  record.host = "line-pc-1";
  record.startUnixMs = 1714555800250;  // 2024-05-01 09:30:00.250 UTC
  record.elapsedMicros = 14'532'999;
  record.portGiven = "usb:0403:6001";
  record.portOpened = "/dev/ttyUSB0";
  record.rate = 115200;
  record.imagePath = "fw/\"new\".bin";
  record.imageBytes = 4096;
  record.identificationBefore = "TP\x1b]0;x\x07\t\x7f\xc3\xa9\xc2\x85";
  record.identificationAfter = "A\xff\xc3";
  record.bytesTransferred = 3;
  record.sentSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  record.step = "transfer";
  record.errorCode = 111;
  record.systemError = 5;
  record.systemErrorText = "Input/output error";
  record.reason = "tovrel: a\tb";
  EXPECT_EQ(FormatRunRecord(record),
            R"({"start":"2024-05-01T09:30:00.250Z","end":"2024-05-01T09:30:14.782Z",)"
            R"("duration_ms":14532,"version":"1.0.0","host":"line-pc-1","port":"usb:0403:6001",)"
            R"("port_opened":"/dev/ttyUSB0","rate":115200,"image_path":"fw/\"new\".bin",)"
            R"("image_bytes":4096,"image_sha256":null,)"
            R"("id_before":"TP\u001b]0;x\u0007\t\u007f\u00e9\u0085",)"
            R"("id_after":"A\ufffd\ufffd","id_after_hex":"41ffc3",)"
            R"("bytes_transferred":3,"sent_sha256":"ba7816bf8f01cfea414140de5dae)"
            R"(2223b00361a396177a9cb410ff61f20015ad","outcome":"failed","step":"transfer",)"
            R"("exit_status":1,"error_code":111,"system_error":5,"system_error_text":"Input/outpu)"
            R"(t error","reason":"tovrel: a\tb"})"
            "\n");
}

TEST(UtcTimestamp, CountsDaysLikeTheCalendar) {
  EXPECT_EQ(UtcTimestamp(951782400000 - 1), "2000-02-28T23:59:59.999Z");
  EXPECT_EQ(UtcTimestamp(1709164800123), "2024-02-29T00:00:00.123Z");
  EXPECT_EQ(UtcTimestamp(-1), "1969-12-31T23:59:59.999Z");
}

}  // namespace
}  // namespace tovrel
