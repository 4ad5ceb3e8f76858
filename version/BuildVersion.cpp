#include "BuildVersion.h"

#include "BuildVersionText.h"

const char* BuildVersion() { return UPDATER_VERSION_TEXT; }
