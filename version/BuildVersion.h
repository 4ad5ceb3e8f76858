// The version this program was built as: the git tag or commit of its sources
// (`git describe --tags --always --dirty`), the UPDATER_VERSION given to
// CMake, or "unknown".
#pragma once

const char* BuildVersion();
