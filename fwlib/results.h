// Result codes of the update library's operations: 0 for success, one shared
// list for all of them so the shell can turn any code into its message.
#pragma once

#include <cstdint>

constexpr uint32_t FWL_OK = 0;
constexpr uint32_t FWL_ERR_USER_ABORT = 2;          // a progress callback asked to stop
constexpr uint32_t FWL_ERR_NOT_INITIALISED = 3;
constexpr uint32_t FWL_ERR_HW_VERSION = 4;          // module hardware version not supported
constexpr uint32_t FWL_ERR_OPEN_FILE = 5;           // image file cannot be opened or created
constexpr uint32_t FWL_ERR_FILE_FORMAT = 6;         // file too short or malformed
constexpr uint32_t FWL_ERR_FILE_VERSION = 7;        // a section of an unsupported version
constexpr uint32_t FWL_ERR_WRITE_FILE = 8;          // writing the backup file failed
constexpr uint32_t FWL_ERR_NO_MEMORY = 9;
constexpr uint32_t FWL_ERR_AREA = 10;               // outside the allowed regions, or the update is refused
constexpr uint32_t FWL_ERR_NO_REGION = 11;          // no present region matches the mask
constexpr uint32_t FWL_ERR_REGION_ABSENT = 12;      // the mask names absent regions
constexpr uint32_t FWL_ERR_FLASH_INIT = 13;
constexpr uint32_t FWL_ERR_FLASH_READ = 14;
constexpr uint32_t FWL_ERR_FLASH_WRITE = 15;
constexpr uint32_t FWL_ERR_FLASH_ERASE = 16;
constexpr uint32_t FWL_ERR_CHECKSUM = 17;
constexpr uint32_t FWL_ERR_VERIFY = 18;             // read-back after writing differs
constexpr uint32_t FWL_ERR_FS_RESTORE = 19;         // file-system restore or backup failed
constexpr uint32_t FWL_ERR_FS_DRIVER = 20;          // flash disk driver could not be unloaded or loaded
constexpr uint32_t FWL_ERR_FORMAT = 21;             // store or partitions could not be formatted
constexpr uint32_t FWL_ERR_CPLD_VERSION = 22;       // CPLD not found or of an unsupported version
constexpr uint32_t FWL_ERR_CPLD_PROGRAM = 23;
