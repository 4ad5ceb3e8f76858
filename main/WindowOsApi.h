// The system calls of the drive-access object in the window program. Its box for a
// system error must open on the window's thread, also when a page sent from the
// writes' own thread fails.
#pragma once

#include <functional>

#include "OsApi.h"

OsApi& WindowOsApi();

// runner runs a job on the window's thread and waits for it; empty (before the window
// exists and after it has gone): the box opens on the thread that asks for it.
void RouteBoxesToWindow(std::function<void(const std::function<void()>&)> runner);
