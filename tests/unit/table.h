#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/support.h"

// The rows of a table file under tests/data: fields separated by tabs, "-" for
// an empty one, the escapes \t \n \r \0 \\ and \xHH, and '@' standing for
// `at` (a test's folder); blank lines and lines starting with '#' (which say
// what the columns are) are left out.
inline std::vector<std::vector<std::string>> tableRows(const std::string& name, const std::string& at = "@") {
    std::ifstream in(KELVARA_DATA_DIR "/" + name);
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> row(1);
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '\t') {
                row.emplace_back();
            } else if (line[i] == '@') {
                row.back() += at;
            } else if (line[i] != '\\' || i + 1 == line.size()) {
                row.back() += line[i];
            } else if (line[++i] == 'x') {
                row.back() += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                const std::size_t escape = std::string("tnr0").find(line[i]);  // \0: the literal's end
                row.back() += escape == std::string::npos ? line[i] : "\t\n\r"[escape];
            }
        }
        for (std::string& field : row) field = field == "-" ? "" : field;
        rows.push_back(std::move(row));
    }
    EXPECT_FALSE(rows.empty()) << name;
    return rows;
}

// Makes the tree a table file describes below root, row by row: a path, then
// "dir", "fifo", "-> TARGET" (a symbolic link) or a file's text, then the
// permission bits (octal) when given.
inline void buildTree(const std::string& root, const std::string& name) {
    for (const auto& row : tableRows(name)) {
        const std::string path = root + "/" + row[0];
        const bool link = row[1].starts_with("-> ");
        if (row[1] == "dir") std::filesystem::create_directories(path);
        if (row[1] == "fifo") ::mkfifo(path.c_str(), 0666);
        if (link) ::symlink(row[1].substr(3).c_str(), path.c_str());
        if (row[1] != "dir" && row[1] != "fifo" && !link) kelvara::test::writeFile(path, row[1]);
        if (row.size() > 2) ::chmod(path.c_str(), static_cast<mode_t>(std::stoi(row[2], nullptr, 8)));
    }
}
