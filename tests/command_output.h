// Running a shell command from a test and reading what it wrote.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// What command writes to its standard output; *status gets its wait status.
inline std::string output_of(const std::string &command, int *status)
{
    std::string got;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) {
        *status = -1;
        return got;
    }
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        got.append(chunk, n);
    *status = pclose(pipe);
    return got;
}

// The NUL-terminated words of text.
inline std::vector<std::string> split_at_nuls(const std::string &text)
{
    std::vector<std::string> words;
    size_t start = 0;
    for (size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1)
        words.push_back(text.substr(start, end - start));
    return words;
}
