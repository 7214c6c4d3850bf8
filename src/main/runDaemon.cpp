#include "main/cBroker.h"

#include "config/cConfig.h"
#include "config/configKeys.h"
#include "log/cWlog.h"

#include <log4cpp/Category.hh>

#include <cstring>
#include <iostream>

int runDaemon(const char* mode, const char* configPath)
{
    if (gBroker != nullptr)
        return -1;

    if (!cConfig::load(configPath)) {
        // A missing path is shown as empty text rather than handed to "%s".
        const char* shown = configPath != nullptr ? configPath : "";
        cWlog::getLog("cDebug").error("Couldn't load config file '%s' bailing out", shown);
        std::cout << "Couldn't load config file '" << shown << "' bailing out" << std::endl;
        return -1;
    }

    if (mode == nullptr)
        mode = configText("quib.mode");

    gBroker = new cBroker();
    gBroker->setConfigPath(configPath);
    if (std::strcmp(mode, "client") == 0)
        return gBroker->runClient();
    return gBroker->runServer();
}
