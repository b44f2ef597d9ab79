// Kernel object handles. Every object a HANDLE names (file, find search,
// mutex, thread, file mapping, store ...) starts with a HandleObject, so one
// CloseHandle serves them all and a stale or foreign handle is refused with
// ERROR_INVALID_HANDLE instead of being dereferenced.
#pragma once

#include "platform/types.h"

enum class HandleKind : uint32_t {
  File = 1,
  Find,
  Mutex,
  Thread,
  FileMapping,
  Store,
  StoreSearch,
  PartitionSearch,
  Device,
  VolumeFile,  // a file on a mounted flash disk volume
  VolumeFind,
  None,        // what HandlePeekKind answers for no live handle
};

struct HandleObject {
  HandleKind kind;
  // Releases the object; returns false (with the last error set) when the
  // underlying close failed. The object is gone either way.
  bool (*close)(HandleObject* self);
};

// Registers a newly built object and returns its handle.
HANDLE HandleRegister(HandleObject* object);

// The live object behind `handle` when it is of `kind`, else null with
// ERROR_INVALID_HANDLE set.
HandleObject* HandleLookup(HANDLE handle, HandleKind kind);

// The kind of a live handle, or HandleKind::None; sets no error.
HandleKind HandlePeekKind(HANDLE handle);

template <typename T>
T* HandleGet(HANDLE handle, HandleKind kind) {
  return reinterpret_cast<T*>(HandleLookup(handle, kind));
}

// Forgets the handle without closing the object (for objects with a close
// call of their own, such as FindClose).
HandleObject* HandleUnregister(HANDLE handle, HandleKind kind);

BOOL CloseHandle(HANDLE handle);

// Number of live handles, for tests that check nothing leaks.
size_t HandleCount();
