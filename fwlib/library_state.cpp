#include "fwlib/library_state.h"

#include "fwlib/callbacks.h"
#include "fwlib/refusal.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "fwlib/work_buffer.h"
#include "fwlib/checksum.h"
#include "fwlib/update.h"
#include "platform/handles.h"

namespace {

FwlLibraryState g_library;

}  // namespace

FwlLibraryState* FwlState() { return &g_library; }

uint32_t FWLCloseFile() {
  if (g_library.imageFile == INVALID_HANDLE_VALUE) return FWL_OK;
  BOOL closed = CloseHandle(g_library.imageFile);
  g_library.imageFile = INVALID_HANDLE_VALUE;
  return closed ? FWL_OK : FWL_CLOSE_FAILED;
}

void FWLResetForTests() {
  FWLCloseFile();
  g_library = FwlLibraryState{};
  RegionTableReset();
  CallbacksReset();
  WorkBufferFree();
  WorkBufferLimitForTests(WORK_BUFFER_NO_LIMIT);
  UpdateResetForTests();
  ChecksumResetForTests();
  RefusalClear();
}
