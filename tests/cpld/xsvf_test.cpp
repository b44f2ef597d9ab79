// The XSVF player on streams built for the purpose: the error of each kind
// of malformed stream, and what the scan commands put on the wires. TDO
// reads high on a module without a CPLD model.
#include <gtest/gtest.h>

#include "cpld/xsvf.h"
#include "tests/cpld/cpld_fixture.h"
#include "tests/support/xsvf_writer.h"

namespace {

struct StreamCase {
  const char* name;
  XsvfStream stream;
  uint32_t error;
  uint32_t commands;
  std::vector<size_t> shifts;  // bits of each stay in a Shift state, in order
};

XsvfStream Bytes(std::initializer_list<uint8_t> bytes) { return XsvfStream(bytes); }

XsvfStream Then(XsvfStream s, std::initializer_list<uint8_t> more) {
  s.insert(s.end(), more);
  return s;
}

XsvfStream SdrSize(uint32_t bits) {
  XsvfStream s;
  XsvfPut32(&s, XSDRSIZE, bits);
  return s;
}

// `before`, then an 8-bit data scan and XCOMPLETE.
XsvfStream Sdr(XsvfStream before, uint8_t command, uint64_t tdi, uint64_t expected) {
  XsvfSdr(&before, command, 8, tdi, expected);
  return Then(before, {XCOMPLETE});
}

std::vector<StreamCase> Cases() {
  XsvfStream longSir2 = Bytes({XSIR2, 0xFF, 0xFF});
  longSir2.resize(longSir2.size() + 8192, 0);
  // Without a mask nothing is compared.
  XsvfStream masked = Then(SdrSize(8), {XTDOMASK, 0x3F});
  XsvfStream every = Then(SdrSize(8), {XTDOMASK, 0xFF});
  return {
      {"OnlyComplete", Bytes({XCOMPLETE}), XSVF_OK, 1, {}},
      {"CodeFive", Bytes({0x05, XCOMPLETE}), XSVF_ERR_ILLEGAL_COMMAND, 1, {}},
      {"CodePastTheTable", Bytes({0x18}), XSVF_ERR_ILLEGAL_COMMAND, 1, {}},
      {"SizeOneByteTooLong", Then(SdrSize(56001), {XCOMPLETE}), XSVF_ERR_DATA_OVERFLOW, 1, {}},
      {"SizeAtTheLimit", Then(SdrSize(56000), {XCOMPLETE}), XSVF_OK, 2, {}},
      {"SizeThatWouldWrap", Then(SdrSize(0xFFFFFFFF), {XSDR}), XSVF_ERR_DATA_OVERFLOW, 1, {}},
      {"InstructionTooLong", longSir2, XSVF_ERR_DATA_OVERFLOW, 1, {}},
      {"EndDrTwo", Bytes({XENDDR, 2}), XSVF_ERR_ILLEGAL_STATE, 1, {}},
      {"StateSixteen", Bytes({XSTATE, 16}), XSVF_ERR_ILLEGAL_STATE, 1, {}},
      {"WaitInStateSixteen", Bytes({XWAIT, 16, 1, 0, 0, 0, 1, XCOMPLETE}), XSVF_ERR_ILLEGAL_STATE, 1, {}},
      {"WaitEndingInStateSixteen", Bytes({XWAIT, 1, 16, 0, 0, 0, 1, XCOMPLETE}), XSVF_ERR_ILLEGAL_STATE, 1, {}},
      {"Empty", Bytes({}), XSVF_ERR_STREAM_END, 0, {}},
      {"NoComplete", Bytes({XREPEAT, 0}), XSVF_ERR_STREAM_END, 1, {}},
      {"NumberCutShort", Bytes({XSDRSIZE, 0, 0}), XSVF_ERR_STREAM_END, 1, {}},
      {"VectorCutShort", Then(SdrSize(32), {XSDR, 1, 2, 3}), XSVF_ERR_STREAM_END, 2, {}},
      {"CommentUnterminated", Bytes({XCOMMENT, 'a', 'b'}), XSVF_ERR_STREAM_END, 1, {}},
      {"CommentThenMore", Bytes({XCOMMENT, 'a', 'b', 0, XREPEAT, 1, XCOMPLETE}), XSVF_OK, 3, {}},
      // TDO reads 0xFF: it differs from 0x3F only where the mask is clear.
      {"MaskedMatch", Sdr(masked, XSDRTDO, 0, 0x3F), XSVF_OK, 5, {8}},
      {"UnmaskedPiece", Sdr(masked, XSDRTDOB, 0, 0x3F), XSVF_ERR_TDO_MISMATCH, 4, {8}},
      {"MismatchNoRepeat", Sdr(Then(every, {XREPEAT, 0}), XSDRTDO, 0, 0x00), XSVF_ERR_TDO_MISMATCH, 5, {8}},
      // Three attempts, each retry out through Pause-DR with one bit on the way.
      {"MismatchRepeated", Sdr(Then(every, {XREPEAT, 2, XRUNTEST, 0, 0, 0x03, 0xE8}), XSDRTDO, 0, 0x00),
       XSVF_ERR_MAX_RETRIES, 6, {8, 1, 8, 1, 8}},
  };
}

class MalformedStreams : public CpldTest, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(MalformedStreams, ErrorCommandsAndScans) {
  const StreamCase& c = GetParam();
  ASSERT_NO_FATAL_FAILURE(AttachShared({"faults.tdo_stuck=high"}));
  // The data ends exactly where the stream does, so a read past it is an error of the sanitizer too.
  std::vector<uint8_t> exact(c.stream);
  StartTrace();
  uint32_t commands = 0;
  EXPECT_EQ(XsvfRunDetailed(exact.data(), static_cast<uint32_t>(exact.size()), &commands), c.error);
  std::vector<size_t> shifts;
  for (const JtagShift& s : ShiftsOf(TckEdges(Trace(), kTracePinsPart89))) shifts.push_back(s.bits.size());
  EXPECT_EQ(shifts, c.shifts);
  EXPECT_EQ(commands, c.commands);

  // The check finds every fault the stream itself holds, and clocks nothing.
  bool deviceFault = c.error == XSVF_ERR_TDO_MISMATCH || c.error == XSVF_ERR_MAX_RETRIES;
  StartTrace();
  XsvfCheckResult checked{};
  EXPECT_EQ(XsvfCheck(exact.data(), static_cast<uint32_t>(exact.size()), &checked), deviceFault ? XSVF_OK : c.error);
  EXPECT_TRUE(PinAccesses(Trace()).empty());
  if (!deviceFault) {
    EXPECT_EQ(checked.commandCount, c.commands) << "stopped at the same command";
  }
}

INSTANTIATE_TEST_SUITE_P(Streams, MalformedStreams, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<StreamCase>& info) { return info.param.name; });

// XSDRINC adds the address mask and fills the data-mask bits from the next
// data; XSDRB, XSDRC and XSDRE make one shift of three pieces.
TEST_F(CpldTest, ScanCommandsOnTheWires) {
  ASSERT_NO_FATAL_FAILURE(AttachShared({"faults.tdo_stuck=high"}));
  XsvfStream s;
  XsvfPut32(&s, XSDRSIZE, 16);
  s.push_back(XSETSDRMASKS);
  XsvfPutValue(&s, 16, 0x0010);
  XsvfPutValue(&s, 16, 0x000F);
  s.push_back(XSDRINC);
  XsvfPutValue(&s, 16, 0x01F0);
  s.insert(s.end(), {2, 0x05, 0x0C});  // two more scans, with their data
  XsvfSdr(&s, XSDRB, 8, 0x01);
  XsvfPut(&s, XSDRC, {0x02});
  XsvfPut(&s, XSDRE, {0x03});
  XsvfSir(&s, 8, 0xE8);
  s.push_back(XCOMPLETE);
  StartTrace();
  ASSERT_EQ(XsvfRunDetailed(s.data(), static_cast<uint32_t>(s.size()), nullptr), XSVF_OK);
  std::vector<std::pair<bool, uint64_t>> shifts;
  for (const JtagShift& shift : ShiftsOf(TckEdges(Trace(), kTracePinsPart89))) shifts.push_back({shift.ir, shift.Value()});
  EXPECT_EQ(shifts, (std::vector<std::pair<bool, uint64_t>>{
                        {false, 0x01F0}, {false, 0x0205}, {false, 0x021C}, {false, 0x030201}, {true, 0xE8}}));
}

}  // namespace
