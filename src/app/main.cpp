#include "app/Cli.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    return tesselwick::cli::run(arguments, std::cout, std::cerr);
}
