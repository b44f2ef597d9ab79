#include "app/image_check.h"

#include <cstdarg>
#include <string>
#include <vector>

#include "app/update_flow.h"
#include "fwlib/bin_file.h"
#include "fwlib/image_parts.h"
#include "fwlib/init.h"
#include "fwlib/library_state.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/json.h"
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

// What the check found, for the text report and for JSON alike.
struct CheckReport {
  std::u16string path;
  bool opened = false;  // every checksum matched
  bool hasImage = false;
  ImageDescription image = {};
  uint32_t flags = 0;  // the summary's: without the CPLD bit a CPLD section is checked, not written
  std::vector<ImagePart> parts;
  bool hasPlan = false;
  FsPlan plan = {};
  uint32_t covered = 0;
  bool accepted = false;
  std::u16string reason;
};

struct RegionRange {
  const WCHAR* name;
  bool inFlash;  // the CPLD's firmware is not in the flash
  uint32_t start;
  uint32_t length;
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

bool CpldWritten(const CheckReport& report) { return (report.flags & REGION_CPLD_FIRMWARE) != 0; }

void KeepPart(const ImagePart& part, void* context) { static_cast<CheckReport*>(context)->parts.push_back(part); }

// The regions the update would write, in flash order, the CPLD last.
std::vector<RegionRange> CoveredRegions(uint32_t covered) {
  std::vector<RegionRange> ranges;
  for (uint32_t region : kRegions) {
    if ((covered & region) == 0) continue;
    uint32_t id = region == REGION_BOOTLOADER ? region | (covered & REGION_FIRST_BOOTLOADER) : region;
    RegionSummary range = {region, 0, 0, 0};
    const WCHAR* name = FWLGetRegionName(id);
    if (name == nullptr || FWLGetRegionInfo(&range, nullptr) != FWL_OK) continue;
    ranges.push_back({name, true, range.start, range.length});
  }
  if ((covered & REGION_CPLD_FIRMWARE) != 0) ranges.push_back({u"CPLD Firmware", false, 0, 0});
  return ranges;
}

void ShowParts(const CheckReport& report, CheckLineFn out) {
  uint32_t records = 0;
  for (const ImagePart& part : report.parts) {
    switch (part.kind) {
      case ImagePartKind::Record:
        records++;
        Line(out, u"record      %-4u at 0x%08x, 0x%08x bytes, checksum 0x%08x -> flash 0x%08x-0x%08x", records,
             part.address, part.length, part.checksum, part.flashOffset, Last(part.flashOffset, part.length));
        break;
      case ImagePartKind::Stream:
        Line(out, u"stream      file system, 0x%08x bytes of data, header checksum 0x%08x", part.dataBytes,
             part.checksum);
        break;
      case ImagePartKind::Cpld:
        Line(out, u"cpld        mode %u, 0x%08x bytes, checksum 0x%08x%s", part.mode, part.dataBytes, part.checksum,
             CpldWritten(report) ? u"" : u" (this board has no CPLD: checked, not written)");
        break;
    }
  }
}

// What each stream does to this module's flash disk, as the plan found it.
void ShowStreamPlans(const FsPlan& plan, CheckLineFn out) {
  for (uint32_t i = 0; i < plan.streams && i < FS_PLAN_STREAMS_SHOWN; i++) {
    const FsStreamPlan& s = plan.stream[i];
    Line(out, u"store       stream %u formats the store on flash 0x%08x-0x%08x (%u-byte sectors, %u of them)", i + 1,
         s.base, Last(s.base, s.length), s.sectorBytes, Clamp32(s.storeSectors));
    if (s.type == FS_STREAM_SECTORS) {
      Line(out, u"            and writes %u sectors back", Clamp32(s.sectors));
    } else {
      Line(out, u"            and makes %u partitions with %u folders and %u files (%u bytes)", s.partitions,
           s.folders, s.files, Clamp32(s.fileBytes));
    }
  }
  if (plan.streams > FS_PLAN_STREAMS_SHOWN) {
    Line(out, u"            and %u streams more, each formatting the store afresh",
         plan.streams - FS_PLAN_STREAMS_SHOWN);
  }
}

void ShowReport(const CheckReport& report, CheckLineFn out) {
  if (report.opened) Line(out, u"file        %s: every record, stream and CPLD checksum matches", report.path.c_str());
  if (report.hasImage) {
    const ImageDescription& image = report.image;
    Line(out, u"image       linked at 0x%08x, mapped to flash 0x%08x-0x%08x (0x%x bytes, 0x%x in records)",
         image.linkedStart, image.mappedStart, Last(image.mappedStart, image.imageLength), image.imageLength,
         image.dataLength);
  }
  ShowParts(report, out);
  if (!report.accepted) {
    Line(out, u"verdict     the update would refuse this file: %s", report.reason.c_str());
    return;
  }
  if (report.hasPlan) ShowStreamPlans(report.plan, out);
  std::vector<RegionRange> regions = CoveredRegions(report.covered);
  for (const RegionRange& r : regions) {
    if (r.inFlash) Line(out, u"region      %-18s flash 0x%08x-0x%08x", r.name, r.start, Last(r.start, r.length));
    else Line(out, u"region      %s", r.name);
  }
  if ((report.covered & REGION_ID_BITS) == 0) Line(out, u"region      none");
  Line(out, u"verdict     the update would write this file (this check wrote nothing)");
}

void JsonParts(JsonWriter* w, const CheckReport& report, ImagePartKind kind, const char* key) {
  JsonBeginArray(w, key);
  uint32_t streamIndex = 0;
  for (const ImagePart& part : report.parts) {
    if (part.kind != kind) continue;
    JsonBeginObject(w);
    switch (kind) {
      case ImagePartKind::Record:
        JsonNumber(w, "address", part.address);
        JsonNumber(w, "length", part.length);
        JsonNumber(w, "checksum", part.checksum);
        JsonNumber(w, "flash_start", part.flashOffset);
        JsonNumber(w, "flash_end", Last(part.flashOffset, part.length));
        break;
      case ImagePartKind::Stream: {
        JsonNumber(w, "data_bytes", part.dataBytes);
        JsonNumber(w, "header_checksum", part.checksum);
        // Only an accepted file has a plan; streams past the shown ones are counted only.
        bool planned = report.hasPlan && streamIndex < report.plan.streams && streamIndex < FS_PLAN_STREAMS_SHOWN;
        if (!planned) {
          JsonNull(w, "plan");
        } else {
          const FsStreamPlan& s = report.plan.stream[streamIndex];
          JsonBeginObject(w, "plan");
          JsonBool(w, "formats_store", true);
          JsonNumber(w, "flash_start", s.base);
          JsonNumber(w, "flash_end", Last(s.base, s.length));
          JsonNumber(w, "sector_bytes", s.sectorBytes);
          JsonNumber(w, "store_sectors", s.storeSectors);
          bool sectors = s.type == FS_STREAM_SECTORS;
          JsonString(w, "kind", sectors ? "sectors" : "files");
          JsonNumber(w, "sectors_written", sectors ? s.sectors : 0);
          JsonNumber(w, "partitions", sectors ? 0 : s.partitions);
          JsonNumber(w, "folders", sectors ? 0 : s.folders);
          JsonNumber(w, "files", sectors ? 0 : s.files);
          JsonNumber(w, "file_bytes", sectors ? 0 : s.fileBytes);
          JsonEndObject(w);
        }
        streamIndex++;
        break;
      }
      case ImagePartKind::Cpld:
        JsonNumber(w, "mode", part.mode);
        JsonNumber(w, "data_bytes", part.dataBytes);
        JsonNumber(w, "checksum", part.checksum);
        JsonBool(w, "written", CpldWritten(report));
        break;
    }
    JsonEndObject(w);
  }
  JsonEndArray(w);
}

std::string ReportJson(const CheckReport& report) {
  JsonWriter w;
  JsonBeginObject(&w);
  JsonString(&w, "file", std::u16string_view(report.path));
  JsonString(&w, "verdict", report.accepted ? "write" : "refuse");
  if (report.accepted) JsonNull(&w, "reason");
  else JsonString(&w, "reason", std::u16string_view(report.reason));
  if (!report.hasImage) {
    JsonNull(&w, "image");
  } else {
    JsonBeginObject(&w, "image");
    JsonNumber(&w, "linked_start", report.image.linkedStart);
    JsonNumber(&w, "flash_start", report.image.mappedStart);
    JsonNumber(&w, "flash_end", Last(report.image.mappedStart, report.image.imageLength));
    JsonNumber(&w, "length", report.image.imageLength);
    JsonNumber(&w, "record_bytes", report.image.dataLength);
    JsonEndObject(&w);
  }
  JsonParts(&w, report, ImagePartKind::Record, "records");
  JsonParts(&w, report, ImagePartKind::Stream, "streams");
  JsonNumber(&w, "streams_planned", report.hasPlan ? report.plan.streams : 0);
  JsonParts(&w, report, ImagePartKind::Cpld, "cpld");
  JsonBeginArray(&w, "regions");
  if (report.accepted) {
    for (const RegionRange& r : CoveredRegions(report.covered)) {
      JsonBeginObject(&w);
      JsonString(&w, "name", std::u16string_view(r.name));
      if (r.inFlash) {
        JsonNumber(&w, "flash_start", r.start);
        JsonNumber(&w, "flash_end", Last(r.start, r.length));
      } else {
        JsonNull(&w, "flash_start");
        JsonNull(&w, "flash_end");
      }
      JsonEndObject(&w);
    }
  }
  JsonEndArray(&w);
  JsonEndObject(&w);
  return w.text;
}

void Refuse(CheckReport* report, const WCHAR* reason) {
  report->accepted = false;
  report->reason = reason;
}

// The module path, or the host file that lies outside the module.
void CheckImage(const WCHAR* path, const char* hostPath, CheckReport* report) {
  WCHAR reason[kLineChars];
  std::u16string hostName = hostPath != nullptr ? Utf8ToUtf16(hostPath) : std::u16string();
  if (hostPath != nullptr) path = hostName.c_str();
  report->path = path;
  uint32_t result = FWLInit();
  if (result != FWL_OK) {
    StringCchPrintfW(reason, kLineChars, u"FWLInit error %u (the module's flash or hardware version)", result);
    return Refuse(report, reason);
  }
  RegionSummary summary = {};
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
    return Refuse(report, reason);
  }
  report->opened = true;
  const ImageDescription& image = FwlState()->image;
  report->hasImage = (image.contents & IMAGE_CONTENT_BIN) != 0;
  report->image = image;
  report->flags = summary.flags;
  result = FWLListImageParts(KeepPart, report);
  uint32_t covered = 0;
  const WCHAR* refusal = nullptr;
  bool accepted = result == FWL_OK && ImageCoverage(summary, &covered, &refusal);
  FWLCloseFile();
  if (result != FWL_OK) {
    StringCchPrintfW(reason, kLineChars, u"its parts could not be read again (error %u)", result);
    return Refuse(report, reason);
  }
  if (!accepted) return Refuse(report, refusal != nullptr ? refusal : u"FWLGetRegionsInArea error 10");
  const FsPlan* plan = FileSystemStreamsPlan();
  report->hasPlan = (image.contents & IMAGE_CONTENT_FS_STREAM) != 0 && plan != nullptr;
  if (report->hasPlan) report->plan = *plan;
  report->covered = covered;
  report->accepted = true;
}

}  // namespace

int CheckImageFile(const WCHAR* path, CheckLineFn out) {
  CheckReport report;
  CheckImage(path, nullptr, &report);
  ShowReport(report, out);
  return report.accepted ? 1 : 0;
}

int CheckImageFileJson(const WCHAR* path, std::string* json) {
  CheckReport report;
  CheckImage(path, nullptr, &report);
  *json = ReportJson(report);
  return report.accepted ? 1 : 0;
}

int CheckHostImageFile(const char* hostPath, CheckLineFn out) {
  CheckReport report;
  CheckImage(nullptr, hostPath, &report);
  ShowReport(report, out);
  return report.accepted ? 1 : 0;
}
