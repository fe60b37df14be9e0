#pragma once
// Runs a program to its end as a child process and keeps what it printed.

#include <string>
#include <vector>

namespace testsupport {

struct Ran {
    int nStatus = -1;  // exit status; -1 when it did not exit normally
    std::string out;
    std::string err;
};

// argv[0] is the program's path.
Ran RunProgram(const std::vector<std::string>& argv);

// In a forked child: becomes the program, or ends with status 127.
[[noreturn]] void ExecOrExit(const std::vector<std::string>& argv);

}  // namespace testsupport
