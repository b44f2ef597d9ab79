// A count of the changes made to a module's flash cells, in a block of the
// module's shared memory that every process working on the flash counts in:
// one that finds the count as it left it knows the cells are as it last saw
// them. A change is counted before it is made, so one that a power cut stops
// half way counts too. The count never moves back.
#pragma once

#include <cstdint>
#include <string>

struct CellChanges {
  uint64_t* count = nullptr;  // null while none is attached
};

// Attaches the count `name` of the module whose shm folder is `shmDir`.
bool CellChangesOpen(const std::string& shmDir, const std::u16string& name, CellChanges* changes,
                     std::string* error);
void CellChangesClose(CellChanges* changes);

// Counts one change; nothing while none is attached.
void CellChangesCount(CellChanges* changes);
// False while none is attached.
bool CellChangesNow(const CellChanges& changes, uint64_t* count);
