// quibd [config-path [mode]], or quibd --help | --version
#include "log/cWlog.h"
#include "main/cBroker.h"
#include "main/usage.h"

#include <iostream>

int main(int argc, char** argv)
{
    if (argc > 1 && writeInfoOption(argv[1], std::cout))
        return 0;

    const char* path = "/etc/quib/quibd.conf";
    const char* mode = nullptr;
    if (argc > 1) {
        path = argv[1];
        if (argc > 2)
            mode = argv[2];
    }
    cWlog::init(path);
    return runDaemon(mode, path);
}
