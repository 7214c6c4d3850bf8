// quibd [config-path [mode]], quibd --status [--json] [config-path],
// quibd --metrics [config-path], or quibd --help | --version
#include "log/cWlog.h"
#include "main/cBroker.h"
#include "main/usage.h"
#include "status/statusCommand.h"

#include <cstring>
#include <iostream>

int main(int argc, char** argv)
{
    if (argc > 1 && writeInfoOption(argv[1], std::cout))
        return 0;
    if (argc > 1 && (std::strcmp(argv[1], "--status") == 0 || std::strcmp(argv[1], "--metrics") == 0))
        return runStatusCommand(argc, argv);

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
