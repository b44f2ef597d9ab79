// No window at all, for scripts: nothing is shown and nothing waits for a
// user. Message boxes go to standard error; questions take the answer that
// changes nothing (message_box.h), file dialogs are cancelled, and a dialog
// that waits for input is closed as with its close box.
#pragma once

#include "platform/ui/backend.h"

const UiBackendOps* NoneBackend();
