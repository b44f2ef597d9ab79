// Restoring the file-system streams of an image file into the flash disk's
// store, after the update has written the BIN part.
#pragma once

#include <cstdint>

// Restores every stream from the image file's current position on (right
// after the BIN part, or the start of a file without one) and leaves the
// position after the last stream. FWL_OK, or 2, 6, 7, 19, 20, 21.
//
// Not built yet: it restores nothing and fails with FWL_ERR_FS_RESTORE, so an
// image that carries a stream is never reported as written.
uint32_t RestoreFileSystem();
