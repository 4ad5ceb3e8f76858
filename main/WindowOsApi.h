// The system calls of the drive-access object in the window program. Its box for a
// system error is the window's: owned by it and opened on its thread, also when a page
// sent from the writes' own thread fails.
#pragma once

#include <functional>

#include "OsApi.h"

OsApi& WindowOsApi();

// show shows the box and returns once it is answered; empty (before the window exists and
// after it has gone): the box opens without owner on the thread that asks for it.
void RouteBoxesToWindow(std::function<void(const std::string&)> show);
