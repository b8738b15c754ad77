// Starts a program for the benchmarks with the given standard input and output.
#pragma once

#include <unistd.h>

#include <string>
#include <vector>

// args[0] is looked up on PATH when it has no slash. The child's pid.
inline pid_t PlxSpawn(const std::vector<std::string>& args, int in, int out) {
    std::vector<char*> argv;
    for (const std::string& s : args) argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in, STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}
