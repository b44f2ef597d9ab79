// The CPLD section's stream judged at validation: streams cut short (at a
// command boundary, which zero padding would pass for XCOMPLETE, inside a
// command or a comment), streams without XCOMPLETE or with data after it,
// and streams that would hold the module for longer than any CPLD needs,
// each refused with its reason; the vendors' streams taken whatever another
// builder left in the word where ours records the stream's length.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "cpld/xsvf.h"
#include "fwlib/bin_file.h"
#include "fwlib/cpld_stream.h"
#include "fwlib/library_state.h"
#include "fwlib/refusal.h"
#include "fwlib/results.h"
#include "platform/text.h"
#include "tests/image/image_fixture.h"
#include "tests/support/jtag_trace.h"
#include "tests/support/xsvf_writer.h"

namespace {

constexpr char kDesign[] = "xc2c64a-light-led.xsvf";
constexpr char kIdcode[] = "xc2c64a-idcode.xsvf";
constexpr uint32_t kWord = 4;

XsvfStream Prefix(const XsvfStream& s, size_t bytes) { return XsvfStream(s.begin(), s.begin() + bytes); }

// The stream without its closing XCOMPLETE.
XsvfStream Open(const char* file) {
  XsvfStream s = XsvfVendorFile(file);
  s.pop_back();
  return s;
}

XsvfStream Then(XsvfStream s, std::initializer_list<uint8_t> more) {
  s.insert(s.end(), more);
  return s;
}

// The first command start at or after `fraction` of the design that is not
// on a word boundary: there zero padding would read as XCOMPLETE.
uint32_t UnalignedStartFrom(double fraction) {
  XsvfStream s = XsvfVendorFile(kDesign);
  for (uint32_t start : XsvfCommandStarts(s)) {
    if (start >= fraction * s.size() && start % kWord != 0) return start;
  }
  return 0;
}

struct Hostile {
  const char* name;
  std::function<XsvfStream()> stream;
  std::function<std::string()> reason;
};

std::string Cut(uint32_t at) { return "ends at byte " + std::to_string(at) + " without XCOMPLETE"; }

Hostile CutAt(const char* name, double fraction) {
  return {name, [=] { return Prefix(XsvfVendorFile(kDesign), UnalignedStartFrom(fraction)); },
          [=] { return Cut(UnalignedStartFrom(fraction)); }};
}

const Hostile kHostile[] = {
    CutAt("CutAtAQuarter", 0.25),
    CutAt("CutAtHalf", 0.5),
    CutAt("CutNearTheEnd", 0.95),
    {"CutInsideACommand", [] { return Prefix(XsvfVendorFile(kDesign), UnalignedStartFrom(0.5) + 2); },
     [] { return "ends inside the command at byte " + std::to_string(UnalignedStartFrom(0.5)); }},
    {"CutToOneByte", [] { return Prefix(XsvfVendorFile(kDesign), 1); },
     [] { return std::string("ends inside the command at byte 0, before XCOMPLETE"); }},
    {"EndingInsideAComment", [] { return Then(Open(kIdcode), {XCOMMENT, 'c', 'u', 't'}); },
     [] { return std::string("ends inside the comment at byte 93, before XCOMPLETE"); }},
    {"WithoutXcomplete", [] { return Open(kIdcode); }, [] { return Cut(93); }},
    {"DataAfterXcomplete", [] { return Then(XsvfVendorFile(kIdcode), {XREPEAT, 0}); },
     [] { return std::string("has 2 bytes after its XCOMPLETE at byte 93"); }},
    {"UnknownCommand", [] { return Then(Open(kIdcode), {0x05, XCOMPLETE}); },
     [] { return std::string("unknown command 0x05 at byte 93"); }},
    {"WaitingByRunTest",
     [] { return Then(Open(kIdcode), {XRUNTEST, 0xFF, 0xFF, 0xFF, 0xFF, XSIR, 8, 0xFF, XCOMPLETE}); },
     [] { return std::string("waits up to 72 minutes, more than the 10 minutes any CPLD needs"); }},
    {"WaitingThroughRetries",
     [] {
       return Then(Open(kIdcode), {XREPEAT, 255, XRUNTEST, 0x00, 0x0F, 0x42, 0x40, XSDRSIZE, 0, 0, 0, 8, XSDRTDO, 0, 0,
                                   XCOMPLETE});
     },
     [] { return std::string("waits up to 15"); }},  // some 15 thousand minutes: eleven days
};

class HostileCpldStreams : public ImageTest, public ::testing::WithParamInterface<Hostile> {};

// On the NOR module the section would be ignored, but a file is judged whole.
TEST_P(HostileCpldStreams, RefusedWithTheirReason) {
  const Hostile& h = GetParam();
  Attach();
  BinImageSpec spec;
  spec.hasBinPart = false;
  spec.hasCpld = true;
  spec.cpld.data = h.stream();
  ASSERT_FALSE(spec.cpld.data.empty());
  std::u16string path = Place(spec);
  StartBusTrace();
  EXPECT_EQ(Validate(path), FWL_ERR_FILE_FORMAT);
  EXPECT_TRUE(PinAccesses(TakeBusTrace()).empty());
  std::string reason = Utf16ToUtf8(RefusalText());
  EXPECT_NE(reason.find("the CPLD stream " ), std::string::npos) << reason;
  EXPECT_NE(reason.find(h.reason()), std::string::npos) << reason;
  EXPECT_EQ(FwlState()->image.contents, 0u);
}

INSTANTIATE_TEST_SUITE_P(Streams, HostileCpldStreams, ::testing::ValuesIn(kHostile),
                         [](const ::testing::TestParamInfo<Hostile>& info) { return info.param.name; });

// The section's data as the builder lays it out: the stream padded to whole
// words, its own length recorded unless `recorded` says what another builder left.
std::vector<uint8_t> Padded(XsvfStream s) {
  s.resize((s.size() + kWord - 1) / kWord * kWord, 0);
  return s;
}

uint32_t Check(const std::vector<uint8_t>& data, uint32_t recorded) {
  RefusalClear();
  return CpldStreamCheck(data.data(), static_cast<uint32_t>(data.size()), recorded);
}

// Zero padding after a cut at a boundary reads as XCOMPLETE; only the
// recorded length tells the two apart.
TEST(CpldStreamCuts, EveryCommandBoundaryOfTheDesignIsRefused) {
  XsvfStream design = XsvfVendorFile(kDesign);
  std::vector<uint32_t> starts = XsvfCommandStarts(design);
  XsvfCheckResult whole{};
  ASSERT_EQ(XsvfCheck(design.data(), static_cast<uint32_t>(design.size()), &whole), XSVF_OK);
  ASSERT_EQ(starts.size(), whole.commandCount);
  ASSERT_EQ(starts.back(), design.size() - 1) << "XCOMPLETE last";
  for (uint32_t start : starts) {
    SCOPED_TRACE(start);
    EXPECT_EQ(Check(Padded(Prefix(design, start)), start), FWL_ERR_FILE_FORMAT);
  }
  EXPECT_EQ(Check(Padded(design), static_cast<uint32_t>(design.size())), FWL_OK);
}

// Other builders leave the word to chance; a value that cannot be the
// stream's own length is not taken for it.
TEST(CpldStreamLengths, TheVendorsStreamsPassWhateverTheWordSays) {
  for (const char* file : {kIdcode, "xc2c64a-erase.xsvf", "xc2c64a-blank-check.xsvf", kDesign}) {
    XsvfStream s = XsvfVendorFile(file);
    std::vector<uint8_t> data = Padded(s);
    uint32_t own = static_cast<uint32_t>(s.size());
    uint32_t whole = static_cast<uint32_t>(data.size());
    for (uint32_t word : {own, whole, 0u, 0xFFFFFFFFu, whole + 1, own / 2}) {
      SCOPED_TRACE(std::string(file) + " with " + std::to_string(word));
      EXPECT_EQ(Check(data, word), FWL_OK) << Utf16ToUtf8(RefusalText());
      EXPECT_EQ(CpldStreamLength(data.data(), whole, word), word == own || word == whole ? word : whole);
    }
  }
}

}  // namespace
