// robust_convert_list LIST: converts the entries of LIST one after another,
// each beside its source, and prints "<index> <status>" as each finishes.
// A line of LIST is "<target format 0-2> <full path>".
#include <cstdio>
#include <fstream>
#include <string>

#include "conversion/output_policy.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s LIST\n", argv[0]);
        return 2;
    }
    std::ifstream list(argv[1]);
    std::string line;
    for (int index = 0; std::getline(list, line); ++index) {
        const std::size_t blank = line.find(' ');
        if (blank == std::string::npos) {
            return 2;
        }
        kelvara::Settings settings;
        settings.SaveMode = std::stoi(line.substr(0, blank));
        settings.SaveDirFlag = 0;
        settings.PngCompLv = 9;
        const std::string path = line.substr(blank + 1);
        const std::string name = path.substr(path.rfind('/') + 1);
        const auto status = kelvara::processEntry(path, name, settings);
        std::printf("%d %d\n", index, static_cast<int>(status));
        std::fflush(stdout);
    }
    return 0;
}
