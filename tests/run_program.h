// Runs a program with its output captured: standard output and standard error
// apart, and its exit status, within a time limit. Standard input is the null
// device.
#ifndef DRAVELON_TESTS_RUN_PROGRAM_H
#define DRAVELON_TESTS_RUN_PROGRAM_H

#include <chrono>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

struct Outcome {
    int status = -1;        ///< exit status, or 128 + signal number
    std::string out;        ///< standard output, as read from the pipe or the terminal
    std::string err;        ///< standard error
    bool timedOut = false;  ///< killed after the time limit
    long peakResidentKiB = 0;  ///< the program's peak resident size (POSIX)
};

bool operator==(const Outcome& a, const Outcome& b);
void PrintTo(const Outcome& o, std::ostream* os);

struct RunOptions {
    std::filesystem::path cwd;      ///< the working directory, of any length; empty: this process's
    std::vector<std::string> env;   ///< "NAME=value" each, replacing or added to this process's environment; "NAME" removes it
    std::chrono::milliseconds timeout = std::chrono::seconds(DRAVELON_PROGRAM_SECONDS);  ///< two thirds of a case's limit
#ifndef _WIN32
    bool terminal = false;          ///< standard output on a fresh pseudo-terminal instead of a pipe
    bool errorTerminal = false;     ///< standard error on a pseudo-terminal: standard output's when `terminal`
    std::string outputFile;         ///< standard output written to this file instead, such as /dev/full
    bool closeOutput = false;       ///< standard output closed
    bool nonBlockingOutput = false; ///< standard output's pipe made non-blocking, as another process on it may
    std::chrono::milliseconds readPause{0};  ///< a pause after each read of standard output: a slow reader
    int pauseAfterLines = 0;        ///< once standard output shows this many lines, stop the program for a second
    int signal = 0;                 ///< send this signal once either stream shows `signalAfter`
    std::string signalAfter = "Taraniyor... ";  ///< by default the progress line
    int ignoredSignal = 0;          ///< the program starts with this signal ignored, as under nohup
    bool removeCwd = false;         ///< remove `cwd` once the program is inside it
    bool unprivileged = false;      ///< run as nobody (65534) when this process is root
    unsigned long maxOpenFiles = 0; ///< the descriptor limit, if set
    int openDescriptors = 0;        ///< descriptors 3 and on, this many, left open in the program (the null device)
#endif
};

/// Options that only set the working directory.
RunOptions inDirectory(const std::filesystem::path& cwd);

/// Runs `argv[0]` with the rest of `argv` as its arguments (on Windows UTF-8,
/// where the three-byte form of an unpaired surrogate stands for one). On POSIX a name without a slash is looked up in PATH. On Windows
/// a name that begins with "/" is a Linux program, which Wine runs: only its
/// exit status is known, not its output. A run that outlives the time limit
/// is killed.
Outcome runProgram(std::vector<std::string> argv, const RunOptions& options = {});

/// Runs the built program with `args`. An unprivileged run starts a copy of
/// it that the unprivileged user can reach.
Outcome runDravelon(const std::vector<std::string>& args, const RunOptions& options = {});

#endif
