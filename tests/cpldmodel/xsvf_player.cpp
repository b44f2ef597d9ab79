#include "tests/cpldmodel/xsvf_player.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <queue>

#include "module/jtag_tap.h"

namespace {

enum Command : uint8_t {
  kXComplete = 0x00,
  kXTdoMask = 0x01,
  kXSir = 0x02,
  kXRunTest = 0x04,
  kXRepeat = 0x07,
  kXSdrSize = 0x08,
  kXSdrTdo = 0x09,
  kXState = 0x12,
  kXEndIr = 0x13,
  kXEndDr = 0x14,
  kXWait = 0x17,
};

// The format's longest vector.
constexpr uint32_t kMaxVectorBits = 7000 * 8;

using Bits = std::vector<uint8_t>;  // the vector's bytes, most significant first

struct Player {
  const std::vector<uint8_t>* stream = nullptr;
  size_t at = 0;
  JtagDriver driver{};
  TapState state = TapState::TestLogicReset;
  TapState endIr = TapState::RunTestIdle;
  TapState endDr = TapState::RunTestIdle;
  uint32_t sdrBits = 0;
  Bits mask;
  std::string error;
};

bool Read(Player* p, size_t count, Bits* out) {
  if (p->stream->size() - p->at < count) {
    p->error = "the stream ends inside a command";
    return false;
  }
  out->assign(p->stream->begin() + static_cast<std::ptrdiff_t>(p->at),
              p->stream->begin() + static_cast<std::ptrdiff_t>(p->at + count));
  p->at += count;
  return true;
}

bool ReadNumber(Player* p, size_t bytes, uint32_t* value) {
  Bits b;
  if (!Read(p, bytes, &b)) return false;
  *value = 0;
  for (uint8_t byte : b) *value = *value << 8 | byte;
  return true;
}

bool BitOf(const Bits& v, uint32_t i) { return ((v[v.size() - 1 - i / 8] >> (i % 8)) & 1) != 0; }

void Clock(Player* p, bool tms, bool tdi, bool* tdo) {
  p->driver.set(p->driver.context, false, tms, tdi);
  if (tdo != nullptr) *tdo = p->driver.tdo(p->driver.context);
  p->driver.set(p->driver.context, true, tms, tdi);
  p->state = TapNextState(p->state, tms);
}

// For each pair of states, the TMS level of the first step on a shortest path.
using StepTable = std::array<std::array<int8_t, kTapStates>, kTapStates>;

StepTable BuildSteps() {
  StepTable steps;
  for (size_t from = 0; from < kTapStates; from++) {
    steps[from].fill(-1);
    std::queue<TapState> todo;
    for (int tms = 0; tms < 2; tms++) {
      TapState next = TapNextState(static_cast<TapState>(from), tms != 0);
      if (steps[from][static_cast<size_t>(next)] < 0) {
        steps[from][static_cast<size_t>(next)] = static_cast<int8_t>(tms);
        todo.push(next);
      }
    }
    while (!todo.empty()) {
      TapState s = todo.front();
      todo.pop();
      for (int tms = 0; tms < 2; tms++) {
        TapState next = TapNextState(s, tms != 0);
        if (steps[from][static_cast<size_t>(next)] < 0) {
          steps[from][static_cast<size_t>(next)] = steps[from][static_cast<size_t>(s)];
          todo.push(next);
        }
      }
    }
  }
  return steps;
}

// The shortest TMS path to `target`; reset is five clocks with TMS high.
void Goto(Player* p, TapState target) {
  static const StepTable kSteps = BuildSteps();
  if (target == TapState::TestLogicReset) {
    for (int i = 0; i < 5; i++) Clock(p, true, false, nullptr);
    return;
  }
  while (p->state != target) {
    Clock(p, kSteps[static_cast<size_t>(p->state)][static_cast<size_t>(target)] != 0, false, nullptr);
  }
}

// Shifts `bits` of `tdi` from Shift-IR or Shift-DR and compares TDO with
// `expected` under `mask` (none: no comparison).
bool Scan(Player* p, TapState shift, uint32_t bits, const Bits& tdi, const Bits* expected, const Bits* mask,
          TapState end) {
  Goto(p, shift);
  bool mismatch = false;
  for (uint32_t i = 0; i < bits; i++) {
    bool tdo = false;
    Clock(p, i + 1 == bits, BitOf(tdi, i), &tdo);
    if (expected != nullptr && (mask == nullptr || BitOf(*mask, i)) && tdo != BitOf(*expected, i)) mismatch = true;
  }
  Goto(p, end);
  if (mismatch) p->error = "TDO differs from the expected value";
  return !mismatch;
}

bool StateByte(Player* p, TapState* state) {
  uint32_t v = 0;
  if (!ReadNumber(p, 1, &v)) return false;
  if (v >= kTapStates) {
    p->error = "no such TAP state";
    return false;
  }
  *state = static_cast<TapState>(v);
  return true;
}

bool EndState(Player* p, TapState pause, TapState* end) {
  uint32_t v = 0;
  if (!ReadNumber(p, 1, &v)) return false;
  if (v > 1) {
    p->error = "end state must be 0 or 1";
    return false;
  }
  *end = v == 1 ? pause : TapState::RunTestIdle;
  return true;
}

bool Step(Player* p, uint8_t command, bool* complete) {
  uint32_t v = 0;
  Bits tdi, expected;
  size_t sdrBytes = (p->sdrBits + 7) / 8;
  switch (command) {
    case kXComplete: *complete = true; return true;
    case kXTdoMask: return Read(p, sdrBytes, &p->mask);
    case kXSir:
      return ReadNumber(p, 1, &v) && Read(p, (v + 7) / 8, &tdi) &&
             Scan(p, TapState::ShiftIr, v, tdi, nullptr, nullptr, p->endIr);
    case kXRunTest: return ReadNumber(p, 4, &v);  // no timing
    case kXRepeat: return ReadNumber(p, 1, &v);   // no retries
    case kXSdrSize:
      if (!ReadNumber(p, 4, &p->sdrBits)) return false;
      if (p->sdrBits > kMaxVectorBits) {
        p->error = "data register too long";
        return false;
      }
      return true;
    case kXSdrTdo:
      if (p->mask.size() != sdrBytes) p->mask.assign(sdrBytes, 0xFF);
      return Read(p, sdrBytes, &tdi) && Read(p, sdrBytes, &expected) &&
             Scan(p, TapState::ShiftDr, p->sdrBits, tdi, &expected, &p->mask, p->endDr);
    case kXState: {
      TapState s;
      if (!StateByte(p, &s)) return false;
      Goto(p, s);
      return true;
    }
    case kXEndIr: return EndState(p, TapState::PauseIr, &p->endIr);
    case kXEndDr: return EndState(p, TapState::PauseDr, &p->endDr);
    case kXWait: {
      TapState wait, end;
      if (!StateByte(p, &wait) || !StateByte(p, &end) || !ReadNumber(p, 4, &v)) return false;
      Goto(p, wait);
      Goto(p, end);
      return true;
    }
    default: p->error = "command this player does not know"; return false;
  }
}

}  // namespace

XsvfOutcome XsvfPlay(const std::vector<uint8_t>& stream, const JtagDriver& driver) {
  Player p;
  p.stream = &stream;
  p.driver = driver;
  XsvfOutcome out;
  Goto(&p, TapState::TestLogicReset);
  bool complete = false;
  while (!complete) {
    if (p.at >= stream.size()) {
      out.error = "the stream ends without XCOMPLETE";
      return out;
    }
    uint8_t command = stream[p.at++];
    out.commands++;
    if (!Step(&p, command, &complete)) {
      char where[64];
      std::snprintf(where, sizeof where, "command %zu (0x%02X) at byte %zu: ", out.commands, command, p.at);
      out.error = where + p.error;
      return out;
    }
  }
  out.ok = true;
  return out;
}

std::vector<XsvfCommand> XsvfSplit(const std::vector<uint8_t>& stream) {
  std::vector<XsvfCommand> out;
  uint32_t sdrBits = 0;
  for (size_t at = 0; at < stream.size();) {
    XsvfCommand c{at, 1, stream[at], sdrBits};
    size_t sdrBytes = (sdrBits + 7) / 8;
    auto Number = [&](size_t from, size_t bytes) {
      uint32_t v = 0;
      for (size_t i = 0; i < bytes && from + i < stream.size(); i++) v = v << 8 | stream[from + i];
      return v;
    };
    switch (c.code) {
      case kXComplete: break;
      case kXTdoMask: c.bytes += sdrBytes; break;
      case kXSir: c.bytes += 1 + (Number(at + 1, 1) + 7) / 8; break;
      case kXRunTest:
      case kXSdrSize: c.bytes += 4; break;
      case kXRepeat:
      case kXState:
      case kXEndIr:
      case kXEndDr: c.bytes += 1; break;
      case kXSdrTdo: c.bytes += 2 * sdrBytes; break;
      case kXWait: c.bytes += 6; break;
      default: return out;
    }
    if (c.code == kXSdrSize) sdrBits = Number(at + 1, 4);
    if (stream.size() - at < c.bytes) return out;
    out.push_back(c);
    at += c.bytes;
  }
  return out;
}

std::vector<uint8_t> XsvfFile(const char* name) {
  std::ifstream in(std::string(FW_SHARED_TESTDATA) + "/xsvf/" + name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
