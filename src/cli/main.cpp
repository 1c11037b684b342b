// qmere-cli: the headless front end on the same core and profile as the windows.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
        std::puts("usage: qmere-cli COMMAND [ARGS]");
        return 0;
    }
    std::fputs("qmere-cli: no command given (try --help)\n", stderr);
    return 2;
}
