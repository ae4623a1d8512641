#include "app/HelperCommands.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("tesselwick %s\n", TESSELWICK_VERSION);
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "helper") == 0) {
        return tesselwick::app::runHelperCommand(std::vector<std::string>(argv + 2, argv + argc),
                                                 std::cout, std::cerr);
    }
    std::fprintf(stderr, "usage: tesselwick --version | helper status|install|show-installer\n");
    return 64;
}
