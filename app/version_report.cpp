#include "app/version_report.h"

#include <cstdarg>

#include "app/messages.h"
#include "fwlib/image_size.h"
#include "fwlib/region_scan.h"
#include "fwlib/regions.h"
#include "fwlib/version.h"
#include "platform/format.h"
#include "platform/text.h"
#include "platform/version.h"

namespace {

constexpr size_t kReportCapacity = 1024;
constexpr size_t kBetaCapacity = 32;
// The bootloader sits at the start of the flash and fits in its first block.
constexpr uint32_t kBootloaderBase = 0;
constexpr uint32_t kBootloaderSpan = 0x40000;
// A second bootloader found below that span is the first one seen twice.
constexpr uint32_t kSecondBootloaderLowest = 0x40000;

struct Report {
  WCHAR text[kReportCapacity] = {};

  void Append(const WCHAR* format, ...) {
    size_t used = TextLengthBounded(text, kReportCapacity);
    va_list args;
    va_start(args, format);
    StringCchVPrintfW(text + used, kReportCapacity - used, format, args);
    va_end(args);
  }
};

const WCHAR* FamilyText(const ImageVersion& version) {
  return version.family == FAMILY_MODULE ? u"WRENLET" : u"UNKNOWN";
}

int MinorOf(const ImageVersion& version) { return static_cast<int>(version.minorBuild & MINOR_MASK); }

void BetaText(const ImageVersion& version, WCHAR* beta) {
  uint32_t build = version.minorBuild >> BUILD_SHIFT;
  beta[0] = 0;
  if (build != 0) StringCchPrintfW(beta, kBetaCapacity, u"BETA, Build %d", static_cast<int>(build));
}

// The lines of one bootloader; false, with nothing appended, when no version
// is found in its span.
bool AppendBootloader(Report* report, const WCHAR* heading, uint32_t base, uint32_t length) {
  ImageVersion version = {};
  WCHAR date[FWL_DATE_TEXT_CHARS] = {};
  if (FWLGetBootloaderVersion(&version, date, base, length) == 0) return false;
  WCHAR beta[kBetaCapacity];
  BetaText(version, beta);
  report->Append(u"%s (in Flash)\r\nID:\t%s\r\nVer:\t%d.%d %s\r\nBuilt:\t%s\r\n\r\n", heading, FamilyText(version),
                 static_cast<int>(version.major), MinorOf(version), beta, date);
  return true;
}

const FlashRegion* FindListed(const FlashRegion* list, uint32_t id) {
  for (size_t i = 0; i < REGION_COUNT && list[i].id != 0; i++) {
    if ((list[i].id & id) != 0) return &list[i];
  }
  return nullptr;
}

void AppendBootloaders(Report* report) {
  FWLScanRegions(REGION_ALL);
  RegionSummary summary = {REGION_BOOTLOADER | REGION_SECOND_BOOTLOADER, 0, 0, 0};
  FlashRegion list[REGION_TABLE_ENTRIES] = {};
  if (FWLGetRegionInfo(&summary, list) != 0) {
    report->Append(u"Error acquiring Bootloader info.\r\n\r\n");
    return;
  }
  bool twoStage = (summary.flags & REGION_FIRST_BOOTLOADER) != 0;
  if (twoStage) report->Append(u"First ");
  if ((summary.flags & REGION_BOOTLOADER) == 0) {
    report->Append(u"Bootloader not found.\r\n\r\n");
  } else if (!AppendBootloader(report, u"Bootloader", kBootloaderBase, kBootloaderSpan)) {
    // The region is there but holds neither a version record nor a banner.
    report->Append(u"Bootloader (in Flash)\r\nVersion unknown.\r\n\r\n");
  }
  if (!twoStage) return;
  // Found by identifier: an absent first bootloader leaves the second one
  // first in the list.
  const FlashRegion* second = FindListed(list, REGION_SECOND_BOOTLOADER);
  if (second == nullptr || second->base < kSecondBootloaderLowest) {
    report->Append(u"Second Bootloader not found.\r\n\r\n");
    return;
  }
  AppendBootloader(report, u"Second Bootloader", second->base, FWLGetImageSize(second->base));
}

void AppendRunningImage(Report* report) {
  OSVERSIONINFOW os = {};
  os.dwOSVersionInfoSize = sizeof os;
  GetVersionExW(&os);
  ImageVersion version = {};
  WCHAR date[FWL_DATE_TEXT_CHARS] = {};
  FWLGetImageVersion(&version, date);
  WCHAR beta[kBetaCapacity];
  BetaText(version, beta);
  report->Append(u"Image (current running)\r\nID:\t%s\r\nVer:\t%d.%d %s (CE %d.%d)\r\nBuilt:\t%s", FamilyText(version),
                 static_cast<int>(version.major), MinorOf(version), beta, static_cast<int>(os.dwMajorVersion),
                 static_cast<int>(os.dwMinorVersion), date);
}

}  // namespace

void ShowVersionReport(HWND dialog) {
  Report report;
  AppendBootloaders(&report);
  AppendRunningImage(&report);
  MessageBoxW(dialog, report.text, u"BSP Version", MSG_INFO);
}
