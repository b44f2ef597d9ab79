#include "module/module_config.h"

#include <ini.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <span>
#include <type_traits>
#include <variant>

#include "module/atomic_file.h"
#include "module/nand_chips.h"

namespace {

using Field = std::variant<uint32_t ModuleConfig::*, uint64_t ModuleConfig::*, int64_t ModuleConfig::*,
                           bool ModuleConfig::*, std::string ModuleConfig::*, ModuleTiming ModuleConfig::*,
                           BootloaderKind ModuleConfig::*, FlashDiskKey ModuleConfig::*,
                           ModuleDateTime ModuleConfig::*>;

struct Setting {
  const char* section;
  const char* key;
  Field field;
  bool hex;  // written in hexadecimal, as the value is usually read
  const char* comment;
  // Brings dependent settings along when this one is set by name; never when
  // module.ini is read, as the file already holds the result.
  void (*afterSet)(ModuleConfig* config) = nullptr;
};

constexpr int kTmYearBase = 1900;
constexpr uint32_t kFirstFileTimeYear = 1601;  // file times count from its first day

template <typename E>
struct EnumName {
  const char* name;
  E value;
};

constexpr EnumName<ModuleTiming> kTimingNames[] = {{"fast", ModuleTiming::Fast},
                                                   {"realistic", ModuleTiming::Realistic}};
constexpr EnumName<BootloaderKind> kBootloaderNames[] = {
    {"record", BootloaderKind::VersionRecord}, {"banner", BootloaderKind::Banner}, {"none", BootloaderKind::None}};
constexpr EnumName<FlashDiskKey> kFlashDiskKeyNames[] = {
    {"builtin", FlashDiskKey::BuiltIn}, {"blockdevice", FlashDiskKey::BlockDevice}, {"none", FlashDiskKey::None}};

std::span<const EnumName<ModuleTiming>> NamesOf(ModuleTiming) { return kTimingNames; }
std::span<const EnumName<BootloaderKind>> NamesOf(BootloaderKind) { return kBootloaderNames; }
std::span<const EnumName<FlashDiskKey>> NamesOf(FlashDiskKey) { return kFlashDiskKeyNames; }

void FollowTwoStage(ModuleConfig* c) {
  if (!c->twoStage) return;
  if (c->layoutSecondBootloaderBase == 0) c->layoutSecondBootloaderBase = kTwoStageSecondBootloaderBase;
  if (c->layoutOsImageBase == c->layoutSecondBootloaderBase) {
    c->layoutOsImageBase = c->layoutSecondBootloaderBase + kTwoStageSecondBootloaderRoom;
  }
}

// Another chip keeps only those factory bad blocks it has, so that the
// board's list stays one the chip can carry whichever chip is fitted.
void FollowNandChip(ModuleConfig* c) {
  const NandChipType* chip = NandChipTypeOf(c->nandChipId);
  if (chip == nullptr) return;
  std::string kept;
  const std::string& list = c->nandFactoryBad;
  for (size_t pos = 0; pos <= list.size();) {
    size_t comma = std::min(list.find(',', pos), list.size());
    std::string token = list.substr(pos, comma - pos);
    pos = comma + 1;
    char* end = nullptr;
    errno = 0;
    unsigned long long block = std::strtoull(token.c_str(), &end, 0);
    bool past = errno == 0 && end != token.c_str() && *end == '\0' && block >= chip->blocks;
    if (!past && token.find_first_not_of(" \t") != std::string::npos) kept += (kept.empty() ? "" : ",") + token;
  }
  c->nandFactoryBad = kept;
}

// One row per module.ini setting: the reader, the writer and `fwmodule fault`
// all walk this table, so a new setting is added in one place.
const Setting kSettings[] = {
    {"board", "name", &ModuleConfig::board, false, "board the module was created as (nor, nand)"},
    {"board", "cpu_part_code", &ModuleConfig::cpuPartCode, false,
     "processor part code in the main ID register: 17 PXA270 with NOR flash; 2, 8, 9 PXA3xx with NAND"},
    {"board", "cpu_privileged", &ModuleConfig::cpuPrivileged, false,
     "programs run in a privileged processor mode (false: user mode, hardware through the kernel)"},
    {"board", "os_major", &ModuleConfig::osMajor, false, "operating system version reported to programs"},
    {"board", "os_minor", &ModuleConfig::osMinor, false, ""},
    {"board", "os_build", &ModuleConfig::osBuild, false, ""},
    {"board", "hw_version_major", &ModuleConfig::hwVersionMajor, false, "module hardware version (board support item 8)"},
    {"board", "hw_version_minor", &ModuleConfig::hwVersionMinor, false, ""},
    {"board", "two_stage", &ModuleConfig::twoStage, false,
     "a first bootloader (word 2 at flash offset 16) hands over to a second one at bsp.second_bootloader_base",
     FollowTwoStage},

    {"bsp", "item0", &ModuleConfig::bspItem0, true, "configuration item 0, 8 bytes"},
    {"bsp", "item12", &ModuleConfig::bspItem12, true, "configuration item 12, 4 bytes"},
    {"bsp", "os_image_base", &ModuleConfig::layoutOsImageBase, true, "flash layout (board support item 5)"},
    {"bsp", "registry_base", &ModuleConfig::layoutRegistryBase, true, ""},
    {"bsp", "registry_half", &ModuleConfig::layoutRegistryHalf, true, "length of one of the two registry halves"},
    {"bsp", "second_bootloader_base", &ModuleConfig::layoutSecondBootloaderBase, true, "0 on one-stage boards"},
    {"bsp", "image_family", &ModuleConfig::imageFamily, false, "version of the running OS image"},
    {"bsp", "image_major", &ModuleConfig::imageMajor, false, ""},
    {"bsp", "image_minor", &ModuleConfig::imageMinor, false, ""},
    {"bsp", "image_build", &ModuleConfig::imageBuild, false, ""},

    {"factory", "bootloader", &ModuleConfig::bootloader, false,
     "bootloader a new module gets: record (version record), banner (older Ethernet bootloader), none"},
    {"factory", "bootloader_major", &ModuleConfig::bootloaderMajor, false, "bootloader version"},
    {"factory", "bootloader_minor", &ModuleConfig::bootloaderMinor, false, ""},
    {"factory", "bootloader_build", &ModuleConfig::bootloaderBuild, false, "beta build number (0: release)"},
    {"factory", "second_bootloader_major", &ModuleConfig::secondBootloaderMajor, false,
     "second bootloader version (two-stage boards)"},
    {"factory", "second_bootloader_minor", &ModuleConfig::secondBootloaderMinor, false, ""},
    {"factory", "bootloader_built", &ModuleConfig::bootloaderBuilt, false, "build time of the bootloaders, UTC"},
    {"factory", "os_built", &ModuleConfig::osBuilt, false, "build time of the OS image and its \\windows files, UTC"},
    {"factory", "os_image_bytes", &ModuleConfig::osImageBytes, true, "size of the OS ROM image"},
    {"factory", "sscr_bytes", &ModuleConfig::sscrBytes, true,
     "signature bytes of the SSCR record after the OS image (0: no record)"},
    {"factory", "config_block_bytes", &ModuleConfig::configBlockBytes, true,
     "configuration bytes in the config block before the first erased word (0: erased block)"},
    {"factory", "flash_disk_key", &ModuleConfig::flashDiskKey, false,
     "flash disk driver key: builtin (Drivers\\BuiltIn), blockdevice (Drivers\\BlockDevice), none"},
    {"factory", "profile_name", &ModuleConfig::profileName, false, "Name of the flash disk's storage profile"},

    {"flash", "nor_device_code", &ModuleConfig::norDeviceCode, true,
     "device code of each 16-bit chip of the NOR pair (0x0018: 32 MB pair)"},
    {"flash", "nand_chip_id", &ModuleConfig::nandChipId, true,
     "NAND boards only: identification, maker code in bits 0-7 and device code in bits 8-15 "
     "(0xD3EC, 0xF1EC, 0xDAEC, 0xDCEC, 0xDCAD); factory bad blocks past its end are dropped",
     FollowNandChip},
    {"flash", "timing", &ModuleConfig::timing, false,
     "fast: ready at once; realistic: erase and program take their datasheet times"},

    {"nand", "os_driver", &ModuleConfig::nandOsDriver, false,
     "the module's OS starts its NAND driver, which builds the shared block map NAND_FLASH_BBMT "
     "(false: the first program on the module builds it)"},
    {"nand", "factory_bad_blocks", &ModuleConfig::nandFactoryBad, false,
     "physical blocks the chip maker marked bad (first spare byte of their first pages not 0xFF), "
     "listed in the bad-block page by the factory"},

    {"cpld", "idcode", &ModuleConfig::cpldIdcode, true,
     "JTAG IDCODE of the CPLD on the JTAG pins, revision in the top four bits (0: no CPLD)"},
    {"cpld", "usercode", &ModuleConfig::cpldUsercode, true,
     "USERCODE a new module's CPLD carries (its firmware version: major << 16 | minor)"},

    {"faults", "locked_block", &ModuleConfig::faultLockedBlock, true, "flash offset of a block that will not unlock (-1: none)"},
    {"faults", "erase_error_block", &ModuleConfig::faultEraseErrorBlock, true, "block whose erase reports error bits (-1: none)"},
    {"faults", "program_error_at", &ModuleConfig::faultProgramErrorAt, true, "offset whose program reports error bits (-1: none)"},
    {"faults", "weak_program_at", &ModuleConfig::faultWeakProgramAt, true,
     "offset whose program silently leaves bits unprogrammed (-1: none)"},
    {"faults", "never_ready", &ModuleConfig::faultNeverReady, false, "the flash never reports ready"},
    {"faults", "power_cut_after", &ModuleConfig::faultPowerCutAfter, false,
     "end the process after this many flash commands (0: never)"},
    {"faults", "power_cut_busy_us", &ModuleConfig::faultPowerCutBusyUs, false,
     "end the process once the flash has been busy this many microseconds by its datasheet times, "
     "leaving the program or erase under way part done (0: never)"},
    {"faults", "nand_bad_blocks", &ModuleConfig::faultNandBadBlocks, false,
     "NAND: physical blocks that have gone bad; every program and erase there fails"},
    {"faults", "nand_program_fail", &ModuleConfig::faultNandProgramFail, false,
     "NAND: B (fails from now on) or B@N (after N more programs) for each physical block whose programs fail"},
    {"faults", "nand_erase_fail", &ModuleConfig::faultNandEraseFail, false,
     "NAND: B or B@N for each physical block whose erases fail"},
    {"faults", "nand_correctable_pages", &ModuleConfig::faultNandCorrectable, false,
     "NAND: physical pages that read with one flipped bit (error correction repairs it)"},
    {"faults", "nand_uncorrectable_pages", &ModuleConfig::faultNandUncorrectable, false,
     "NAND: physical pages that read with two flipped bits in one correction step"},
    {"faults", "tdo_stuck", &ModuleConfig::faultTdoStuck, false,
     "CPLD: high or low: something outside drives the TDO pin (SODIMM pins not left open); empty: off"},
    {"faults", "cpld_program_fails", &ModuleConfig::faultCpldProgramFails, false,
     "CPLD: programming does not stick (the array keeps its bits, so a verify fails)"},
    {"faults", "power_cut_after_tck", &ModuleConfig::faultPowerCutAfterTck, false,
     "CPLD: end the process after this many rising TCK edges, the array left as the erase and rows "
     "programmed so far made it (0: never)"},
    {"faults", "bsp_no_items", &ModuleConfig::faultBspNoItems, false,
     "comma-separated board support items that deliver nothing"},
    {"faults", "bsp_set_refused", &ModuleConfig::faultBspSetRefused, false,
     "comma-separated board support items whose write is refused"},
    {"faults", "restart_returns", &ModuleConfig::faultRestartReturns, false, "the restart request returns"},

    {"trace", "flash_log", &ModuleConfig::traceFlashLog, false,
     "file (relative: in the module folder) that every process appends a record of each flash write to; "
     "empty: off"},
};

const Setting* FindSetting(const std::string& section, const std::string& key) {
  for (const Setting& s : kSettings) {
    if (section == s.section && key == s.key) return &s;
  }
  return nullptr;
}

bool ParseSigned(const std::string& text, int64_t* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0') return false;
  *out = v;
  return true;
}

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty() || text[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v > max) return false;
  *out = v;
  return true;
}

bool Apply(ModuleConfig* config, const Setting& s, const std::string& value) {
  return std::visit(
      [&](auto member) -> bool {
        using T = std::remove_reference_t<decltype(config->*member)>;
        T& field = config->*member;
        if constexpr (std::is_same_v<T, std::string>) {
          field = value;
          return true;
        } else if constexpr (std::is_same_v<T, bool>) {
          if (value == "true" || value == "1" || value == "yes") field = true;
          else if (value == "false" || value == "0" || value == "no") field = false;
          else return false;
          return true;
        } else if constexpr (std::is_enum_v<T>) {
          for (const EnumName<T>& n : NamesOf(T{})) {
            if (value == n.name) {
              field = n.value;
              return true;
            }
          }
          return false;
        } else if constexpr (std::is_same_v<T, ModuleDateTime>) {
          return ModuleDateTimeParse(value, &field);
        } else if constexpr (std::is_same_v<T, int64_t>) {
          return ParseSigned(value, &field);
        } else {
          uint64_t v = 0;
          if (!ParseUnsigned(value, static_cast<T>(~T{0}), &v)) return false;
          field = static_cast<T>(v);
          return true;
        }
      },
      s.field);
}

std::string Render(const ModuleConfig& config, const Setting& s) {
  return std::visit(
      [&](auto member) -> std::string {
        using T = std::remove_cvref_t<decltype(config.*member)>;
        const T& field = config.*member;
        char text[32];
        if constexpr (std::is_same_v<T, std::string>) {
          return field;
        } else if constexpr (std::is_same_v<T, bool>) {
          return field ? "true" : "false";
        } else if constexpr (std::is_enum_v<T>) {
          for (const EnumName<T>& n : NamesOf(T{})) {
            if (field == n.value) return n.name;
          }
          return "";
        } else if constexpr (std::is_same_v<T, ModuleDateTime>) {
          return ModuleDateTimeText(field);
        } else if constexpr (std::is_same_v<T, int64_t>) {
          if (field < 0 || !s.hex) std::snprintf(text, sizeof text, "%" PRId64, field);
          else std::snprintf(text, sizeof text, "0x%" PRIx64, field);
          return text;
        } else {
          if (s.hex) std::snprintf(text, sizeof text, "0x%" PRIx64, uint64_t{field});
          else std::snprintf(text, sizeof text, "%" PRIu64, uint64_t{field});
          return text;
        }
      },
      s.field);
}

// The reader takes lines of at most this many characters (its buffer holds
// the newline and a terminating NUL as well); a longer line would be read as
// two and refused.
constexpr size_t kIniLineChars = INI_MAX_LINE - 2;
constexpr char kIniContinuation[] = "  ";

// `key = value` on as many lines as the reader needs: a long list goes on
// after one of its commas on indented lines, which the reader hands back as
// the same setting again. False when a part without a comma is too long.
bool AppendIniLines(const char* key, const std::string& value, std::string* text) {
  std::string line = std::string(key) + " = ";
  for (size_t pos = 0;;) {
    size_t room = kIniLineChars - line.size();
    if (value.size() - pos <= room) {
      *text += line + value.substr(pos) + "\n";
      return true;
    }
    size_t cut = value.rfind(',', pos + room - 1);
    if (cut == std::string::npos || cut < pos) return false;
    *text += line + value.substr(pos, cut + 1 - pos) + "\n";
    pos = cut + 1;
    line = kIniContinuation;
  }
}

struct LoadContext {
  ModuleConfig* config;
  std::string error;
  const Setting* previous = nullptr;  // a text setting met again goes on from there
};

int OnIniValue(void* user, const char* section, const char* name, const char* value) {
  auto* ctx = static_cast<LoadContext*>(user);
  const Setting* s = FindSetting(section, name);
  if (s == nullptr) {
    ctx->error = std::string("unknown setting ") + section + "." + name;
    return 0;
  }
  std::string text = value;
  auto* textField = std::get_if<std::string ModuleConfig::*>(&s->field);
  if (s == ctx->previous && textField != nullptr) text = ctx->config->**textField + text;
  ctx->previous = s;
  if (!Apply(ctx->config, *s, text)) {
    ctx->error = std::string("bad value for ") + section + "." + name + ": '" + text + "'";
    return 0;
  }
  return 1;
}

}  // namespace

int64_t ModuleDateTimeToUnix(const ModuleDateTime& t) {
  std::tm tm{};
  tm.tm_year = static_cast<int>(t.year) - kTmYearBase;
  tm.tm_mon = static_cast<int>(t.month) - 1;
  tm.tm_mday = static_cast<int>(t.day);
  tm.tm_hour = static_cast<int>(t.hour);
  tm.tm_min = static_cast<int>(t.minute);
  tm.tm_sec = static_cast<int>(t.second);
  return timegm(&tm);
}

bool ModuleDateTimeFromUnix(int64_t seconds, ModuleDateTime* out) {
  std::time_t when = static_cast<std::time_t>(seconds);
  std::tm tm{};
  if (gmtime_r(&when, &tm) == nullptr) return false;
  out->year = static_cast<uint32_t>(tm.tm_year + kTmYearBase);
  out->month = static_cast<uint32_t>(tm.tm_mon + 1);
  out->day = static_cast<uint32_t>(tm.tm_mday);
  out->hour = static_cast<uint32_t>(tm.tm_hour);
  out->minute = static_cast<uint32_t>(tm.tm_min);
  out->second = static_cast<uint32_t>(tm.tm_sec);
  return true;
}

bool ModuleDateTimeParse(const std::string& text, ModuleDateTime* out) {
  static const char kPicture[] = "dddd-dd-dd dd:dd:dd";
  if (text.size() != sizeof kPicture - 1) return false;
  for (size_t i = 0; i < text.size(); i++) {
    bool digit = text[i] >= '0' && text[i] <= '9';
    if (kPicture[i] == 'd' ? !digit : text[i] != kPicture[i]) return false;
  }
  ModuleDateTime t;
  std::sscanf(text.c_str(), "%u-%u-%u %u:%u:%u", &t.year, &t.month, &t.day, &t.hour, &t.minute, &t.second);
  // The C library carries 31 February into March: a date that comes back
  // changed does not exist.
  ModuleDateTime back;
  if (t.year < kFirstFileTimeYear || t.month == 0 || t.day == 0 ||
      !ModuleDateTimeFromUnix(ModuleDateTimeToUnix(t), &back) || ModuleDateTimeText(back) != text) {
    return false;
  }
  *out = t;
  return true;
}

std::string ModuleDateTimeText(const ModuleDateTime& t) {
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return text;
}

bool ModuleConfigForBoard(const std::string& board, ModuleConfig* config) {
  if (board == "nor") {
    *config = ModuleConfig{};
    return true;
  }
  if (board != "nand") return false;
  // A PXA3xx module with a 256 MB chip: the same flash layout as the NOR
  // board, in 128 KB blocks, with two blocks the chip maker marked bad.
  *config = ModuleConfig{};
  config->board = board;
  config->cpuPartCode = 9;
  config->nandChipId = 0xDAEC;
  config->nandFactoryBad = "613,1470";
  // The 64-macrocell CPLD on the JTAG pins, with firmware 1.2 in its user code.
  config->cpldIdcode = 0x06E5D093;
  config->cpldUsercode = 0x00010002;
  return true;
}

bool ModuleConfigLoad(const std::string& path, ModuleConfig* config, std::string* error) {
  *config = ModuleConfig{};
  LoadContext ctx{config, {}, nullptr};
  int line = ini_parse(path.c_str(), OnIniValue, &ctx);
  if (line < 0) {
    *error = "cannot read " + path;
    return false;
  }
  if (line > 0) {
    *error = path + ":" + std::to_string(line) + ": " + (ctx.error.empty() ? "syntax error" : ctx.error);
    return false;
  }
  return true;
}

bool ModuleConfigSave(const std::string& path, const ModuleConfig& config, std::string* error) {
  std::string text =
      "; Flashwright virtual module: board facts and fault settings.\n"
      "; Numbers may be decimal or 0x hexadecimal. Change faults with `fwmodule fault`.\n";
  const char* section = "";
  for (const Setting& s : kSettings) {
    if (std::string(section) != s.section) {
      section = s.section;
      text += std::string("\n[") + section + "]\n";
    }
    if (*s.comment) text += std::string("; ") + s.comment + "\n";
    if (!AppendIniLines(s.key, Render(config, s), &text)) {
      *error = std::string("the value of ") + s.section + "." + s.key + " is too long for module.ini";
      return false;
    }
  }
  return AtomicWriteFile(path, text, error);
}

bool ModuleConfigSet(ModuleConfig* config, const std::string& sectionKey, const std::string& value,
                     std::string* error) {
  size_t dot = sectionKey.find('.');
  const Setting* s = dot == std::string::npos ? nullptr
                                              : FindSetting(sectionKey.substr(0, dot), sectionKey.substr(dot + 1));
  if (s == nullptr) {
    *error = "unknown setting " + sectionKey;
    return false;
  }
  if (!Apply(config, *s, value)) {
    *error = "bad value for " + sectionKey + ": '" + value + "'";
    return false;
  }
  if (s->afterSet != nullptr) s->afterSet(config);
  return true;
}

bool ModuleConfigAssign(ModuleConfig* config, const std::string& assignment, std::string* error) {
  size_t eq = assignment.find('=');
  if (eq == std::string::npos) {
    *error = "'" + assignment + "' is not SECTION.KEY=VALUE";
    return false;
  }
  return ModuleConfigSet(config, assignment.substr(0, eq), assignment.substr(eq + 1), error);
}
