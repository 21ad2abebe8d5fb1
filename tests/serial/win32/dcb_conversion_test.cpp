// The conversions between our line-state mirrors and the Win32 structures, as pure functions.
#include "serial/win32/dcb_conversion.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

#include "tests/support/case_name.h"
#include "tests/support/line_states.h"

namespace tovrel {
namespace {

// The Win32 bit fields in the order of the flag word, read as plain numbers.
using Win32Flags = std::array<std::uint32_t, 14>;

Win32Flags FieldsOf(const ::DCB& dcb) {
  return {dcb.fBinary,           dcb.fParity,     dcb.fOutxCtsFlow,
          dcb.fOutxDsrFlow,      dcb.fDtrControl, dcb.fDsrSensitivity,
          dcb.fTXContinueOnXoff, dcb.fOutX,       dcb.fInX,
          dcb.fErrorChar,        dcb.fNull,       dcb.fRtsControl,
          dcb.fAbortOnError,     dcb.fDummy2};
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
void SetDummy2(::DCB& dcb, std::uint32_t value) {
  dcb.fDummy2 = value;  // callers pass at most 17 bits
}
#pragma GCC diagnostic pop

// Sets the one field `index` (position in Win32Flags) of an otherwise empty Win32 DCB.
::DCB Win32DcbWithField(std::size_t index, std::uint32_t value) {
  using Setter = void (*)(::DCB&, std::uint32_t);
  static constexpr Setter kSetters[] = {
      [](::DCB& dcb, std::uint32_t v) { dcb.fBinary = v & 1u; },
      [](::DCB& dcb, std::uint32_t v) { dcb.fParity = v & 1u; },
      [](::DCB& dcb, std::uint32_t v) { dcb.fOutxCtsFlow = v & 1u; },
      [](::DCB& dcb, std::uint32_t v) { dcb.fOutxDsrFlow = v & 1u; },
      [](::DCB& dcb, std::uint32_t v) { dcb.fDtrControl = v & 3u; },
      [](::DCB& dcb, std::uint32_t v) { dcb.fDsrSensitivity = v & 1u; },
      [](::DCB& dcb, std::uint32_t v) { dcb.fTXContinueOnXoff = v & 1u; },
      [](::DCB& dcb, std::uint32_t v) { dcb.fOutX = v & 1u; },
      [](::DCB& dcb, std::uint32_t v) { dcb.fInX = v & 1u; },
      [](::DCB& dcb, std::uint32_t v) { dcb.fErrorChar = v & 1u; },
      [](::DCB& dcb, std::uint32_t v) { dcb.fNull = v & 1u; },
      [](::DCB& dcb, std::uint32_t v) { dcb.fRtsControl = v & 3u; },
      [](::DCB& dcb, std::uint32_t v) { dcb.fAbortOnError = v & 1u; },
      SetDummy2,
  };
  static_assert(std::size(kSetters) == std::tuple_size<Win32Flags>::value, "one a field");
  ::DCB dcb{};
  kSetters[index](dcb, value);
  return dcb;
}

struct FlagCase {
  const char* name;
  std::uint32_t word;   // our flag word
  std::size_t field;    // index into Win32Flags
  std::uint32_t value;  // that field's value
};

class DcbFlagField : public ::testing::TestWithParam<FlagCase> {};

TEST_P(DcbFlagField, OurWordSetsOnlyThatWin32Field) {
  const FlagCase& c = GetParam();
  DCB ours;
  ours.flags = c.word;
  Win32Flags expected{};
  expected[c.field] = c.value;
  EXPECT_EQ(FieldsOf(ToWin32Dcb(ours)), expected);
}

TEST_P(DcbFlagField, Win32FieldGivesOnlyThoseBitsOfOurWord) {
  const FlagCase& c = GetParam();
  EXPECT_EQ(FromWin32Dcb(Win32DcbWithField(c.field, c.value)).flags, c.word);
}

INSTANTIATE_TEST_SUITE_P(
    EveryField, DcbFlagField,
    ::testing::Values(
        FlagCase{"fBinary", 0x0001, 0, 1}, FlagCase{"fParity", 0x0002, 1, 1},
        FlagCase{"fOutxCtsFlow", 0x0004, 2, 1}, FlagCase{"fOutxDsrFlow", 0x0008, 3, 1},
        FlagCase{"fDtrControlEnable", 0x0010, 4, 1}, FlagCase{"fDtrControlHandshake", 0x0020, 4, 2},
        FlagCase{"fDtrControlThree", 0x0030, 4, 3}, FlagCase{"fDsrSensitivity", 0x0040, 5, 1},
        FlagCase{"fTXContinueOnXoff", 0x0080, 6, 1}, FlagCase{"fOutX", 0x0100, 7, 1},
        FlagCase{"fInX", 0x0200, 8, 1}, FlagCase{"fErrorChar", 0x0400, 9, 1},
        FlagCase{"fNull", 0x0800, 10, 1}, FlagCase{"fRtsControlEnable", 0x1000, 11, 1},
        FlagCase{"fRtsControlHandshake", 0x2000, 11, 2},
        FlagCase{"fRtsControlToggle", 0x3000, 11, 3}, FlagCase{"fAbortOnError", 0x4000, 12, 1},
        FlagCase{"fDummy2Lowest", 0x00008000, 13, 1},
        FlagCase{"fDummy2Highest", 0x80000000, 13, 0x10000},
        FlagCase{"fDummy2All", 0xFFFF8000, 13, 0x1FFFF}),
    CaseName());

TEST(DcbConversion, DeviceWordIsCtsFlowNullAndRtsHandshake) {
  DCB ours;
  ours.flags = 0x2804;
  const ::DCB theirs = ToWin32Dcb(ours);
  Win32Flags expected{};
  expected[2] = 1;                       // fOutxCtsFlow
  expected[10] = 1;                      // fNull
  expected[11] = RTS_CONTROL_HANDSHAKE;  // fRtsControl
  EXPECT_EQ(FieldsOf(theirs), expected);
  EXPECT_EQ(theirs.fDtrControl, DTR_CONTROL_DISABLE);
}

// The Win32 structure is 28 bytes with the bit fields in the third 32-bit word, lowest field in
// the lowest bit: our word must land there unchanged.
TEST(DcbConversion, FlagWordLandsBitForBitInTheWin32Layout) {
  static_assert(sizeof(::DCB) == 28, "Win32 DCB layout");
  static_assert(sizeof(DCB) == sizeof(::DCB), "our mirror has the Win32 size");
  for (std::uint32_t word : {0x00000000u, 0x00002804u, 0x0000307Eu, 0x00000381u, 0xFFFFFFFFu,
                             0xA5A5A5A5u, 0x5A5A5A5Au}) {
    DCB ours;
    ours.flags = word;
    const ::DCB theirs = ToWin32Dcb(ours);
    std::uint32_t stored = 0;
    std::memcpy(&stored, reinterpret_cast<const unsigned char*>(&theirs) + 8, sizeof(stored));
    EXPECT_EQ(stored, word) << std::hex << word;
  }
}

TEST(DcbConversion, EveryFlagWordSurvivesTheRoundTrip) {
  std::uint32_t word = 0x12345678u;
  for (int i = 0; i < 2000; ++i) {
    word = word * 1664525u + 1013904223u;  // a fixed pseudo-random walk over the 32 bits
    DCB ours;
    ours.flags = word;
    ASSERT_EQ(FromWin32Dcb(ToWin32Dcb(ours)).flags, word) << std::hex << word;
  }
}

TEST(DcbConversion, PlainMembersPassThroughBothWays) {
  DCB ours;
  ours.DCBlength = 28;
  ours.BaudRate = 230400;
  ours.wReserved = 0x1234;
  ours.XonLim = 2048;
  ours.XoffLim = 512;
  ours.ByteSize = 7;
  ours.Parity = EVENPARITY;
  ours.StopBits = TWOSTOPBITS;
  ours.XonChar = 0x11;
  ours.XoffChar = 0x13;
  ours.ErrorChar = static_cast<char>(0xFF);
  ours.EofChar = 0x1A;
  ours.EvtChar = 0x7E;
  ours.wReserved1 = 0xBEEF;

  const ::DCB theirs = ToWin32Dcb(ours);
  EXPECT_EQ(theirs.DCBlength, 28u);
  EXPECT_EQ(theirs.BaudRate, 230400u);
  EXPECT_EQ(theirs.wReserved, 0x1234);
  EXPECT_EQ(theirs.XonLim, 2048);
  EXPECT_EQ(theirs.XoffLim, 512);
  EXPECT_EQ(theirs.ByteSize, 7);
  EXPECT_EQ(theirs.Parity, EVENPARITY);
  EXPECT_EQ(theirs.StopBits, TWOSTOPBITS);
  EXPECT_EQ(theirs.XonChar, 0x11);
  EXPECT_EQ(theirs.XoffChar, 0x13);
  EXPECT_EQ(theirs.ErrorChar, static_cast<char>(0xFF));
  EXPECT_EQ(theirs.EofChar, 0x1A);
  EXPECT_EQ(theirs.EvtChar, 0x7E);
  EXPECT_EQ(theirs.wReserved1, 0xBEEF);

  const DCB back = FromWin32Dcb(theirs);
  EXPECT_EQ(std::memcmp(&back, &ours, sizeof(DCB)), 0);
}

TEST(DcbConversion, Win32StateReadFromTheDriverComesBackUnchanged) {
  ::DCB theirs{};
  theirs.DCBlength = sizeof(::DCB);
  theirs.BaudRate = 9600;
  theirs.fBinary = 1;
  theirs.fDtrControl = DTR_CONTROL_ENABLE;
  theirs.fRtsControl = RTS_CONTROL_ENABLE;
  theirs.fDummy2 = 0x15555;
  theirs.XonLim = 10;
  theirs.XoffLim = 10;
  theirs.ByteSize = 8;
  theirs.XonChar = 0x11;
  theirs.XoffChar = 0x13;
  theirs.EofChar = 0x04;

  const DCB ours = FromWin32Dcb(theirs);
  EXPECT_EQ(ours.flags, 0x0001u | 0x0010u | 0x1000u | (0x15555u << 15));
  const ::DCB again = ToWin32Dcb(ours);
  EXPECT_EQ(std::memcmp(&again, &theirs, sizeof(::DCB)), 0);
}

TEST(TimeoutConversion, EveryMemberPassesThroughBothWays) {
  // Every member different, the last one MAXDWORD.
  const COMMTIMEOUTS ours = ReadTimeouts(500, 501, 20000, WriteTimeouts(200, 0xFFFFFFFFu));
  const ::COMMTIMEOUTS theirs = ToWin32Timeouts(ours);
  EXPECT_EQ(theirs.WriteTotalTimeoutConstant, MAXDWORD);
  EXPECT_EQ(TimeoutsOf(theirs), TimeoutsOf(ours));
  EXPECT_EQ(TimeoutsOf(FromWin32Timeouts(theirs)), TimeoutsOf(ours));
}

TEST(WaitConversion, EachWaitStatusHasItsResult) {
  EXPECT_EQ(ToWaitResult(WAIT_OBJECT_0), WaitResult::kTaken);
  EXPECT_EQ(ToWaitResult(WAIT_TIMEOUT), WaitResult::kTimeout);
  EXPECT_EQ(ToWaitResult(WAIT_ABANDONED), WaitResult::kAbandoned);
  EXPECT_EQ(ToWaitResult(WAIT_FAILED), WaitResult::kFailed);
  // Statuses a single-object wait does not give are failures, not successes.
  for (DWORD other :
       std::vector<DWORD>{WAIT_OBJECT_0 + 1, WAIT_ABANDONED + 1, WAIT_IO_COMPLETION}) {
    EXPECT_EQ(ToWaitResult(other), WaitResult::kFailed) << other;
  }
}

TEST(HandleConversion, InvalidAndNullHandlesKeepTheirMeaning) {
  // Our INVALID_HANDLE_VALUE is -1; the name is the platform's macro once <windows.h> is in.
  EXPECT_EQ(FromWin32Handle(INVALID_HANDLE_VALUE), -1);
  EXPECT_EQ(ToWin32Handle(-1), INVALID_HANDLE_VALUE);
  EXPECT_EQ(FromWin32Handle(nullptr), kNoMutex);
  EXPECT_EQ(ToWin32Handle(kNoMutex), nullptr);
  const HANDLE some = reinterpret_cast<HANDLE>(std::intptr_t{0x1234});
  EXPECT_EQ(ToWin32Handle(FromWin32Handle(some)), some);
}

}  // namespace
}  // namespace tovrel
