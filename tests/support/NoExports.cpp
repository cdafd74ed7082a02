// A shared library that is no in-process server: it exports nothing a host asks for.
extern "C" __attribute__((visibility("default"))) int NotAServer() {
    return 0;
}
