#include "app/image_check.h"

#include <cstdarg>
#include <string>

#include "app/update_flow.h"
#include "fwlib/bin_file.h"
#include "fwlib/image_parts.h"
#include "fwlib/init.h"
#include "fwlib/library_state.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/text.h"
#include "storage/fs_restore.h"
#include "storage/fs_stream_header.h"

namespace {

constexpr size_t kLineChars = 600;
// The check asks for the full check of every byte and checksum, as the update does.
constexpr int kVerifyAll = 1;

// The regions of the report, in flash order as the update's confirmation lists them.
const uint32_t kRegions[] = {REGION_BOOTLOADER, REGION_SECOND_BOOTLOADER, REGION_CONFIG_BLOCK,
                             REGION_OS_IMAGE,   REGION_REGISTRY,          REGION_FILE_SYSTEM};

struct CheckState {
  CheckLineFn out;
  uint32_t records;
  uint32_t flags;  // the summary's: without the CPLD bit a section is checked, not written
};

void Line(CheckLineFn out, const WCHAR* format, ...) {
  WCHAR line[kLineChars];
  va_list args;
  va_start(args, format);
  StringCchVPrintfW(line, kLineChars, format, args);
  va_end(args);
  out(line);
}

// The last byte of a range, for "first-last" (a range is never empty here).
uint32_t Last(uint32_t start, uint32_t length) { return length == 0 ? start : start + length - 1; }

void ShowPart(const ImagePart& part, void* context) {
  auto* state = static_cast<CheckState*>(context);
  switch (part.kind) {
    case ImagePartKind::Record:
      state->records++;
      Line(state->out, u"record      %-4u at 0x%08x, 0x%08x bytes, checksum 0x%08x -> flash 0x%08x-0x%08x",
           state->records, part.address, part.length, part.checksum, part.flashOffset,
           Last(part.flashOffset, part.length));
      break;
    case ImagePartKind::Stream:
      Line(state->out, u"stream      file system, 0x%08x bytes of data, header checksum 0x%08x", part.dataBytes,
           part.checksum);
      break;
    case ImagePartKind::Cpld:
      Line(state->out, u"cpld        mode %u, 0x%08x bytes, checksum 0x%08x%s", part.mode, part.dataBytes, part.checksum,
           (state->flags & REGION_CPLD_FIRMWARE) != 0 ? u"" : u" (this board has no CPLD: checked, not written)");
      break;
  }
}

// What each stream does to this module's flash disk, as the plan found it.
void ShowStreamPlans(CheckLineFn out) {
  const FsPlan* plan = FileSystemStreamsPlan();
  if (plan == nullptr) return;
  for (uint32_t i = 0; i < plan->streams && i < FS_PLAN_STREAMS_SHOWN; i++) {
    const FsStreamPlan& s = plan->stream[i];
    Line(out, u"store       stream %u formats the store on flash 0x%08x-0x%08x (%u-byte sectors, %u of them)", i + 1,
         s.base, Last(s.base, s.length), s.sectorBytes, Clamp32(s.storeSectors));
    if (s.type == FS_STREAM_SECTORS) {
      Line(out, u"            and writes %u sectors back", Clamp32(s.sectors));
    } else {
      Line(out, u"            and makes %u partitions with %u folders and %u files (%u bytes)", s.partitions,
           s.folders, s.files, Clamp32(s.fileBytes));
    }
  }
  if (plan->streams > FS_PLAN_STREAMS_SHOWN) {
    Line(out, u"            and %u streams more, each formatting the store afresh",
         plan->streams - FS_PLAN_STREAMS_SHOWN);
  }
}

void ShowRegions(CheckLineFn out, uint32_t covered) {
  for (uint32_t region : kRegions) {
    if ((covered & region) == 0) continue;
    uint32_t id = region == REGION_BOOTLOADER ? region | (covered & REGION_FIRST_BOOTLOADER) : region;
    RegionSummary range = {region, 0, 0, 0};
    const WCHAR* name = FWLGetRegionName(id);
    if (name == nullptr || FWLGetRegionInfo(&range, nullptr) != FWL_OK) continue;
    Line(out, u"region      %-18s flash 0x%08x-0x%08x", name, range.start, Last(range.start, range.length));
  }
  if ((covered & REGION_CPLD_FIRMWARE) != 0) Line(out, u"region      CPLD Firmware");
}

int Refuse(CheckLineFn out, const WCHAR* reason) {
  Line(out, u"verdict     the update would refuse this file: %s", reason);
  return 0;
}

// The module path, or the host file that lies outside the module.
int CheckImage(const WCHAR* path, const char* hostPath, CheckLineFn out) {
  WCHAR reason[kLineChars];
  uint32_t result = FWLInit();
  if (result != FWL_OK) {
    StringCchPrintfW(reason, kLineChars, u"FWLInit error %u (the module's flash or hardware version)", result);
    return Refuse(out, reason);
  }
  RegionSummary summary = {};
  std::u16string hostName = hostPath != nullptr ? Utf8ToUtf16(hostPath) : std::u16string();
  if (hostPath != nullptr) path = hostName.c_str();
  result = hostPath != nullptr
               ? FWLSetBinHandle(HostFileOpenForReading(hostPath), path, &summary, nullptr, kVerifyAll)
               : FWLSetBinFile(path, &summary, nullptr, kVerifyAll);
  if (result != FWL_OK) {
    WCHAR message[kLineChars];
    FormatSetBinFileFailure(result, path, message, kLineChars);
    for (WCHAR* c = message; *c != 0; c++) {
      if (*c == u'\n') *c = u' ';
    }
    StringCchPrintfW(reason, kLineChars, u"FWLSetBinFile error %u (%s)", result, message);
    return Refuse(out, reason);
  }
  Line(out, u"file        %s: every record, stream and CPLD checksum matches", path);
  const ImageDescription& image = FwlState()->image;
  if ((image.contents & IMAGE_CONTENT_BIN) != 0) {
    Line(out, u"image       linked at 0x%08x, mapped to flash 0x%08x-0x%08x (0x%x bytes, 0x%x in records)",
         image.linkedStart, image.mappedStart, Last(image.mappedStart, image.imageLength), image.imageLength,
         image.dataLength);
  }
  CheckState state = {out, 0, summary.flags};
  result = FWLListImageParts(ShowPart, &state);
  uint32_t covered = 0;
  const WCHAR* refusal = nullptr;
  bool accepted = result == FWL_OK && ImageCoverage(summary, &covered, &refusal);
  FWLCloseFile();
  if (result != FWL_OK) {
    StringCchPrintfW(reason, kLineChars, u"its parts could not be read again (error %u)", result);
    return Refuse(out, reason);
  }
  if (!accepted) return Refuse(out, refusal != nullptr ? refusal : u"FWLGetRegionsInArea error 10");
  if ((image.contents & IMAGE_CONTENT_FS_STREAM) != 0) ShowStreamPlans(out);
  ShowRegions(out, covered);
  if ((covered & REGION_ID_BITS) == 0) Line(out, u"region      none");
  Line(out, u"verdict     the update would write this file (this check wrote nothing)");
  return 1;
}

}  // namespace

int CheckImageFile(const WCHAR* path, CheckLineFn out) { return CheckImage(path, nullptr, out); }

int CheckHostImageFile(const char* hostPath, CheckLineFn out) { return CheckImage(nullptr, hostPath, out); }
