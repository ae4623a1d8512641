#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("tesselwick %s\n", TESSELWICK_VERSION);
        return 0;
    }
    std::fprintf(stderr, "usage: tesselwick --version\n");
    return 64;
}
