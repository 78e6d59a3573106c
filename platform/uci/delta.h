#pragma once

#include "package.h"

namespace ucihost {

// Replays one staged change on `package` (which must not be recording).
// Returns false when the change does not apply, for instance when its
// section is gone; the router skips such lines the same way.
bool ApplyDelta(Package& package, const Delta& delta);

// Name of a change in "changes" replies ("add", "set", "remove", ...).
const char* CommandName(Command command);

}  // namespace ucihost
