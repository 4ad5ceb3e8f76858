// Program entry of the terminal updater.
#include <unistd.h>

#include <string>
#include <vector>

#include "Updater.h"

int main(int argc, char** argv) {
    UpdaterStreams streams;
    streams.outIsTerminal = isatty(STDOUT_FILENO) == 1;
    streams.interactive = streams.outIsTerminal && isatty(STDIN_FILENO) == 1;
    return RunUpdater(std::vector<std::string>(argv + 1, argv + argc), streams);
}
