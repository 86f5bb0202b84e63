#pragma once

#include <functional>

// Turns SIGTERM, SIGINT and SIGHUP into a call of `onSignal` on the
// user-interface thread, so a signal ends the program the way Exit does.
void installTerminationHandler(std::function<void(int signal)> onSignal);
