// What tests of the shell share: every layer back to process start, with the
// recording window system selected, and ways to read what it recorded.
#pragma once

#include <string>
#include <vector>

#include "platform/ui/recording.h"

void ResetShellForTests();

// The recorded events of one kind, in order.
std::vector<RecordedEvent> RecordedOfKind(RecordedKind kind);

// The message boxes shown, as "caption: text (style)".
std::vector<std::string> RecordedMessages();
