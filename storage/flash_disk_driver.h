// The flash disk driver's load and unload around an update: unloading the
// running instance before the File System region is rewritten, and a second
// instance under our own driver key, loaded with the geometry a file-system
// stream recorded, to restore into.
#pragma once

#include <cstdint>

struct FsStreamHeader;

// Deactivates the device of the store "Internal Flash" (or withdraws its
// interface when the device manager does not know it) and records the unload
// time stamp in every case. FWL_OK, or FWL_ERR_FS_DRIVER.
uint32_t UnloadFlashDisk();

// Writes the restore driver key from the source driver key and the stream's
// geometry, and the storage profile's values for the stream. FWL_OK, or
// FWL_ERR_FS_DRIVER; values already written stay on failure.
uint32_t RegisterFlashDiskDriver(const FsStreamHeader& header);

// Sleeps until the storage manager's unload delay (plus a margin) has passed
// since the last unload. Always FWL_OK.
uint32_t WaitDriverUnloadDelay();

// Activates the driver from the restore driver key. FWL_OK, or
// FWL_ERR_FS_DRIVER.
uint32_t LoadFlashDisk();

// Deletes the values RegisterFlashDiskDriver wrote under the restore driver
// key (the key itself stays) and puts the storage profile's values back as
// the first registration found them. Always FWL_OK.
uint32_t UnregisterFlashDiskDriver();

// Brings back the flash disk UnloadFlashDisk took away, once the unload
// delay has passed, for an update that failed before it touched the File
// System region. FWL_OK (also when nothing was taken away), or
// FWL_ERR_FS_DRIVER.
uint32_t ReloadFlashDisk();

// Tick count of the last UnloadFlashDisk (0 before the first).
uint32_t FlashDiskUnloadTime();

// Forgets the unload time stamp. For tests.
void FlashDiskDriverResetForTests();
