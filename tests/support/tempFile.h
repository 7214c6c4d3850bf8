// Scratch files for tests: a private directory removed with the object.
#pragma once

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

class cTempDir {
public:
    cTempDir()
    {
        char pattern[] = "/tmp/quibd-test-XXXXXX";
        const char* made = mkdtemp(pattern);
        mPath = made ? made : "";
    }
    ~cTempDir()
    {
        if (!mPath.empty())
            std::system(("rm -rf '" + mPath + "'").c_str());
    }
    const std::string& path() const { return mPath; }

    // Writes text to name inside the directory and returns its full path.
    std::string write(const std::string& name, const std::string& text) const
    {
        std::string full = mPath + "/" + name;
        std::ofstream out(full, std::ios::binary | std::ios::trunc);
        out << text;
        return full;
    }

    static std::string read(const std::string& full)
    {
        std::ifstream in(full, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }

private:
    std::string mPath;
};
