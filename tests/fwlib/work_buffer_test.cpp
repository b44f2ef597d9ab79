// The work buffer's allocation with halving, and the callback slots.
#include <gtest/gtest.h>

#include "fwlib/callbacks.h"
#include "fwlib/work_buffer.h"
#include "tests/fwlib/library_fixture.h"

namespace {

class WorkBufferTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetProgramLayers(); }
  void TearDown() override { ResetProgramLayers(); }
};

TEST_F(WorkBufferTest, HalvesUntilAnAllocationSucceedsAndKeepsTheBlock) {
  // Largest allocation allowed -> size obtained.
  const std::pair<uint32_t, uint32_t> cases[] = {
      {WORK_BUFFER_NO_LIMIT, 0x200000}, {0x1FFFFF, 0x100000}, {0, 0}, {3, 2}, {1, 1}};
  for (const auto& [limit, size] : cases) {
    SCOPED_TRACE(limit);
    WorkBufferFree();
    WorkBufferLimitForTests(limit);
    EXPECT_EQ(WorkBufferAcquire(), size != 0);
    EXPECT_EQ(WorkBufferSize(), size);
    EXPECT_EQ(WorkBufferData() != nullptr, size != 0);
  }
  WorkBufferLimitForTests(WORK_BUFFER_NO_LIMIT);
  uint8_t* block = WorkBufferData();
  ASSERT_TRUE(WorkBufferAcquire());
  EXPECT_EQ(WorkBufferData(), block) << "an existing block is reused, however small";
}

struct Seen {
  int result = 1;
  int calls = 0;
  uint32_t a = 0, b = 0;
};
Seen g_seen;

int Record(uint32_t a, uint32_t b) {
  g_seen.calls++;
  g_seen.a = a;
  g_seen.b = b;
  return g_seen.result;
}
int RecordSection(uint32_t a, uint32_t b, uint32_t) { return Record(a, b); }
int RecordSummary(RegionSummary* s) { return Record(s->flags, s->length); }

TEST_F(WorkBufferTest, EmptySlotsGoOnAndZeroStops) {
  RegionSummary summary = {REGION_OS_IMAGE, 0, 0x100, 0};
  auto reportAll = [&summary] {
    return std::vector<bool>{ReportValidate(1, 2), ReportSummary(&summary), ReportSectionStart(1, 2, 3),
                             ReportBytes(10), ReportErase(1, 2)};
  };
  EXPECT_EQ(reportAll(), std::vector<bool>(5, true));
  EXPECT_EQ(CallbackEraseHook(), nullptr) << "the flash layer would call an empty slot";

  CallbackSetValidate(Record);
  CallbackSetSummary(RecordSummary);
  CallbackSetSectionStart(RecordSection);
  CallbackSetBytesProgress(Record);
  CallbackSetErase(Record);
  for (int result : {7, 0}) {
    g_seen = Seen{result};
    EXPECT_EQ(reportAll(), std::vector<bool>(5, result != 0)) << result;
    EXPECT_EQ(g_seen.calls, 5);
  }
}

TEST_F(WorkBufferTest, ByteCountsRestartWithTheirSectionAndOperation) {
  g_seen = Seen{};
  CallbackSetBytesProgress(Record);
  RegionSummary summary = {};
  ReportSummary(&summary);
  ReportSectionStart(0, 0x300, 0);
  ReportBytes(0x100);
  ReportBytes(0x200);
  ReportSectionStart(0x1000, 0x50, 0);
  ReportBytes(0x50);
  EXPECT_EQ(std::make_pair(g_seen.a, g_seen.b), std::make_pair(0x50u, 0x350u));
  ReportSummary(&summary);
  ReportSectionStart(0, 0x10, 0);
  ReportBytes(0x10);
  EXPECT_EQ(std::make_pair(g_seen.a, g_seen.b), std::make_pair(0x10u, 0x10u));
}

}  // namespace
