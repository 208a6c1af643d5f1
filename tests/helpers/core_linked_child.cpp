// A program that links the core library, uses its working files and never installs the
// termination handlers: SIGTERM must end it with the default action.
#include "files/files.h"

#include <csignal>

int main() {
    if (!Files::external_dir.isValid())
        return 2;
    std::raise(SIGTERM);
    return 0;
}
