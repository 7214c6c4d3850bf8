// quibd [config-path [mode]]
#include "log/cWlog.h"
#include "main/cBroker.h"

int main(int argc, char** argv)
{
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
