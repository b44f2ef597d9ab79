// Kernel I/O control: the board support requests and the handler of the
// program's own kernel request code. Records that carry a pointer hold it at
// the host's width with natural alignment (on a 64-bit host the board support
// record {item, pointer, size} is 24 bytes: item, 4 bytes padding, pointer,
// size, 4 bytes padding); the handler insists on exactly these sizes.
#pragma once

#include <cstdint>

#include "platform/types.h"

// Board support codes.
constexpr DWORD BSP_GET_IMAGE_VERSION = 0x0101200C;
constexpr DWORD BSP_CLEAR_REGISTRY = 0x01012010;
constexpr DWORD BSP_GET_INFO = 0x01012028;
constexpr DWORD BSP_SET_INFO = 0x0101202C;
constexpr DWORD IOCTL_HAL_REBOOT = 0x0101003C;

// BSP_GET_INFO and BSP_SET_INFO: the item, its buffer and the buffer's size.
struct BspInfoRecord {
  DWORD item;
  LPVOID buffer;
  DWORD size;
};

// The kernel request handler of the program (device 0x0101, function 2100,
// buffered, any access).
constexpr DWORD IOCTL_KERNEL_REQUEST = 0x010120D0;

constexpr DWORD KERNEL_REQUEST_CALL = 0;   // run a function privileged
constexpr DWORD KERNEL_REQUEST_MAP = 1;    // VirtualCopy on the caller's behalf
constexpr DWORD KERNEL_REQUEST_QUERY = 2;  // board information
constexpr DWORD KERNEL_BOARD_INFO_BYTES = 200;

// A function the kernel runs for the program; the argument is wide enough to
// carry the address of a record.
using KernelFunction = DWORD (*)(uintptr_t argument);

struct KernelCallRecord {
  DWORD request;  // KERNEL_REQUEST_CALL
  KernelFunction function;
  uintptr_t argument;
};

struct KernelMapRecord {
  DWORD request;  // KERNEL_REQUEST_MAP
  LPVOID virtualAddress;
  DWORD physicalShifted;  // physical address >> 8
  DWORD size;
  DWORD protect;
};

struct KernelQueryRecord {
  DWORD request;  // KERNEL_REQUEST_QUERY
};

// Calls and maps answer one 32-bit word; the query answers the board
// information (text lines naming the board, processor and bus devices, zero
// padded). IOCTL_HAL_REBOOT without input restarts warm, with a 4-byte 0
// cold; it returns only when the module did not restart.
// BSP_GET_IMAGE_VERSION fills 12 bytes even with an output size of 0: that
// size is how callers ask for it.
BOOL KernelIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, DWORD* bytesReturned);

// Marks the next restart as a clean boot.
void SetCleanRebootFlag();

// Test hooks: how often each kernel request has been received, and a reset
// of the counts and the clean-boot mark.
DWORD KernelRequestCount(DWORD request);
void KernelReset();
