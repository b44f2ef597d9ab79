// The file dialogs of the update and the backup offer image files only.
#pragma once

#include "platform/types.h"

// The filter pairs end with an empty text: the literal's own terminator.
inline constexpr WCHAR kImageFilter[] = u"IMAGE files\0*.bin\0";
constexpr DWORD kImageFilterIndex = 1;
