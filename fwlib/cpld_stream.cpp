#include "fwlib/cpld_stream.h"

#include <algorithm>

#include "cpld/cpld.h"
#include "cpld/jtag.h"
#include "cpld/xsvf.h"
#include "fwlib/refusal.h"
#include "fwlib/results.h"

namespace {

constexpr uint32_t WORD_BYTES = 4;
constexpr uint64_t MS_PER_MINUTE = 60 * 1000;

uint32_t MinutesUpTo(uint64_t milliseconds) {
  return static_cast<uint32_t>(std::min<uint64_t>((milliseconds + MS_PER_MINUTE - 1) / MS_PER_MINUTE, UINT32_MAX));
}

void Refuse(const XsvfCheckResult& r, uint32_t length) {
  switch (r.error) {
    case XSVF_ERR_STREAM_END:
      if (r.betweenCommands) {
        RefusalSet(u"the CPLD stream ends at byte %u without XCOMPLETE", length);
      } else if (r.command == XCOMMENT) {
        RefusalSet(u"the CPLD stream ends inside the comment at byte %u, before XCOMPLETE", r.offset);
      } else {
        RefusalSet(u"the CPLD stream ends inside the command at byte %u, before XCOMPLETE", r.offset);
      }
      break;
    case XSVF_ERR_ILLEGAL_COMMAND:
      RefusalSet(u"the CPLD stream has an unknown command 0x%02X at byte %u", r.command, r.offset);
      break;
    case XSVF_ERR_DATA_OVERFLOW:
      RefusalSet(u"the CPLD stream asks at byte %u for a vector longer than %u bytes", r.offset,
                 JTAG_VECTOR_MAX_BYTES);
      break;
    case XSVF_ERR_ILLEGAL_STATE:
      RefusalSet(u"the CPLD stream asks at byte %u for a TAP state that does not exist", r.offset);
      break;
    case XSVF_ERR_TRAILING_DATA:
      RefusalSet(u"the CPLD stream has %u bytes after its XCOMPLETE at byte %u", length - r.offset,
                 r.offset - 1);
      break;
    case XSVF_ERR_WAITS_TOO_LONG:
      RefusalSet(u"the CPLD stream waits up to %u minutes, more than the %u minutes any CPLD needs",
                 MinutesUpTo(r.waitMilliseconds), XSVF_WAIT_BOUND_MINUTES);
      break;
    default:
      RefusalSet(u"the CPLD stream fails at byte %u", r.offset);
      break;
  }
}

const WCHAR* RunErrorText(uint32_t error) {
  switch (error) {
    case XSVF_ERR_NO_PORT: return u"the JTAG pins could not be reached";
    case XSVF_ERR_TDO_MISMATCH: return u"the CPLD did not answer what the stream expects";
    case XSVF_ERR_MAX_RETRIES: return u"the CPLD did not answer what the stream expects, retries included";
    case XSVF_ERR_ILLEGAL_STATE: return u"a TAP move the CPLD cannot make from where it was";
    default: return u"the stream's own fault";
  }
}

}  // namespace

uint32_t CpldStreamLength(const uint8_t* data, uint32_t dataLength, uint32_t recordedLength) {
  if (recordedLength > dataLength || dataLength - recordedLength >= WORD_BYTES) return dataLength;
  bool padding = std::all_of(data + recordedLength, data + dataLength, [](uint8_t b) { return b == 0; });
  return padding ? recordedLength : dataLength;
}

uint32_t CpldStreamCheck(const uint8_t* data, uint32_t dataLength, uint32_t recordedLength) {
  uint32_t length = CpldStreamLength(data, dataLength, recordedLength);
  XsvfCheckResult r{};
  if (XsvfCheck(data, length, &r) == XSVF_OK) return FWL_OK;
  Refuse(r, length);
  return FWL_ERR_FILE_FORMAT;
}

void CpldRunFailureRefusal(const CpldProgramFailure& failure) {
  RefusalSet(u"The CPLD %s failed at its command %u: %s. The CPLD may now be blank or part programmed; "
             u"update it again before the module is used.",
             failure.refresh ? u"refresh stream" : u"stream", failure.command, RunErrorText(failure.xsvfError));
}
