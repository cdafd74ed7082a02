// The floors under every thumbnail process: with no argument a C++ program that only starts and exits; with
// a FILE it also reads the whole file, as the least a thumbnail of it must do.
#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2)
        return 0;
    std::FILE* f = std::fopen(argv[1], "rb");
    if (f == nullptr)
        return 1;
    static char buffer[1 << 16];
    while (std::fread(buffer, 1, sizeof buffer, f) == sizeof buffer) {
    }
    std::fclose(f);
    return 0;
}
