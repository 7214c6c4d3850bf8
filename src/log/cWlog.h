// Base of every long-lived object: three log streams bound to one category.
#pragma once

#include "log/cLogOStream.h"

namespace log4cpp {
class Category;
}

class cWlog {
public:
    // name must outlive the object (every caller passes a string literal).
    // Works before init: records then go wherever log4cpp sends them.
    explicit cWlog(const char* name);
    ~cWlog();

    // Sets up log4cpp from the "log4cpp." keys of the configuration file, or
    // the default (INFO and above to standard error) when it has none, cannot
    // be read, or log4cpp rejects them. May be called again; each call
    // replaces the previous set-up.
    static void init(const char* configPath);

    static log4cpp::Category& getLog(const char* name);

    const char* getName() const { return mName; }

private:
    const char* mName;

public:
    cLog mInfo;
    cDebug mDebug;
    cError mError;
};
