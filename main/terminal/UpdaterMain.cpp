// Program entry of the terminal updater.
#include <string>
#include <vector>

#include "Updater.h"

int main(int argc, char** argv) {
    return RunUpdater(std::vector<std::string>(argv + 1, argv + argc), ProcessStreams());
}
