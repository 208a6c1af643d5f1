// A stand-in child program for the runner's tests. Its first argument says what to do:
//   exit <code> [stdout text]   print the text and exit with the code
//   nul                         print "before", a NUL byte and "after", exit 0
//   crash                       die from SIGABRT
//   sleep <ms> [text]           print the text at once, sleep, print "late", exit 0
//   stderr <text>               print the text on standard error only, exit 0
//   args                        print each argument on its own line, exit 0
//   ticks <count> <ms>          print "." count times, ms apart, exit 0
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

int main(int argc, char** argv) {
    if (argc < 2)
        return 64;
    char const* what = argv[1];
    if (!std::strcmp(what, "exit") && argc >= 3) {
        if (argc >= 4)
            std::fputs(argv[3], stdout);
        return std::atoi(argv[2]);
    }
    if (!std::strcmp(what, "nul")) {
        std::fwrite("before\0after", 1, 12, stdout);
        return 0;
    }
    if (!std::strcmp(what, "crash")) {
        std::fflush(stdout);
        std::abort();
    }
    if (!std::strcmp(what, "sleep") && argc >= 3) {
        if (argc >= 4) {
            std::fputs(argv[3], stdout);
            std::fflush(stdout);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[2])));
        std::fputs("late", stdout);
        return 0;
    }
    if (!std::strcmp(what, "stderr") && argc >= 3) {
        std::fputs(argv[2], stderr);
        return 0;
    }
    if (!std::strcmp(what, "ticks") && argc >= 4) {
        for (int i = std::atoi(argv[2]); i > 0; --i) {
            std::fputs(".", stdout);
            std::fflush(stdout);
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[3])));
        }
        return 0;
    }
    if (!std::strcmp(what, "args")) {
        for (int i = 2; i < argc; ++i)
            std::printf("%s\n", argv[i]);
        return 0;
    }
    return 64;
}
