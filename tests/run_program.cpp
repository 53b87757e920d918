#include "run_program.h"

#ifdef _WIN32
#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <fstream>
#include <thread>
#else
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <thread>
#endif

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "path_text.h"
#include "temp_tree.h"

namespace fs = std::filesystem;

namespace {

// The environment of this process with `extra` replacing or added to it; a
// name without "=" removes that variable.
template <typename Char>
std::vector<std::basic_string<Char>> environment(const Char* const* inherited, const std::vector<std::basic_string<Char>>& extra) {
    std::vector<std::basic_string<Char>> all;
    for (const Char* const* variable = inherited; *variable != nullptr; ++variable) all.emplace_back(*variable);
    for (const std::basic_string<Char>& variable : extra) {
        const std::size_t equals = variable.find(Char('='));
        const std::basic_string<Char> name = variable.substr(0, equals) + Char('=');
        for (auto it = all.begin(); it != all.end();) it = it->compare(0, name.size(), name) == 0 ? all.erase(it) : it + 1;
        if (equals != variable.npos) all.push_back(variable);
    }
    return all;
}

}  // namespace

bool operator==(const Outcome& a, const Outcome& b) {
    return a.status == b.status && a.out == b.out && a.err == b.err && a.timedOut == b.timedOut;
}

void PrintTo(const Outcome& o, std::ostream* os) {
    *os << "status " << o.status << (o.timedOut ? " (timed out)" : "") << "\nstdout:\n" << o.out << "stderr:\n" << o.err;
}

RunOptions inDirectory(const fs::path& cwd) {
    RunOptions options;
    options.cwd = cwd;
    return options;
}

#ifdef _WIN32

namespace {

// One argument quoted for the command line, so that it reaches argv intact.
std::wstring commandLineWord(const std::wstring& arg) {
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

std::string readAll(HANDLE pipe) {
    std::string data;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) data.append(buffer, got);
    return data;
}

// An environment block: every variable and its NUL, then one more NUL.
std::wstring environmentBlock(const std::vector<std::string>& extra) {
    std::vector<const wchar_t*> inherited;
    wchar_t* const strings = GetEnvironmentStringsW();
    for (const wchar_t* variable = strings; *variable != L'\0'; variable += std::wcslen(variable) + 1)
        inherited.push_back(variable);
    inherited.push_back(nullptr);
    std::vector<std::wstring> wideExtra;
    for (const std::string& variable : extra) wideExtra.push_back(asPath(variable).native());
    std::wstring block;
    for (const std::wstring& variable : environment(inherited.data(), wideExtra)) block += variable + L'\0';
    FreeEnvironmentStringsW(strings);
    return block + L'\0';
}

// Starts the Windows program `program` with `argv` and waits for its end.
Outcome runWindows(const std::wstring& program, const std::vector<std::string>& argv, const RunOptions& options) {
    std::wstring commandLine = commandLineWord(program);
    // The program's own inverse of its path text: an unpaired surrogate's form reaches argv as one.
    for (std::size_t i = 1; i < argv.size(); ++i) commandLine += L" " + commandLineWord(nativeText(argv[i]));
    std::wstring env = options.env.empty() ? std::wstring() : environmentBlock(options.env);

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0) || !CreatePipe(&errRead, &errWrite, &inherit, 0))
        throw std::runtime_error("CreatePipe failed");
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION process{};
    // Wine now and then fails a start with an internal error when another
    // process starts at the same moment. Nothing has run then: try again.
    BOOL started = FALSE;
    DWORD startError = 0;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        if (attempt > 0) Sleep(50);
        started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                 env.empty() ? 0 : CREATE_UNICODE_ENVIRONMENT, env.empty() ? nullptr : env.data(),
                                 options.cwd.empty() ? nullptr : options.cwd.c_str(), &startup, &process);
        startError = started ? 0 : GetLastError();
        if (startError != ERROR_INTERNAL_ERROR) break;
    }
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    CloseHandle(input);
    if (!started) {
        CloseHandle(outRead);
        CloseHandle(errRead);
        throw std::runtime_error("cannot start " + asText(program) + ": error " + std::to_string(startError));
    }

    Outcome outcome;
    std::thread outReader([&] { outcome.out = readAll(outRead); });
    std::thread errReader([&] { outcome.err = readAll(errRead); });
    if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(options.timeout.count())) == WAIT_TIMEOUT) {
        outcome.timedOut = true;
        TerminateProcess(process.hProcess, 137);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    outReader.join();
    errReader.join();
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    outcome.status = static_cast<int>(status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(outRead);
    CloseHandle(errRead);
    return outcome;
}

// Wine starts a Linux program without waiting for it, and the process handle
// tells nothing of its end. So a shell runs it and leaves its exit status in a
// file in the working directory, which is waited for here.
Outcome runLinux(std::vector<std::string> argv, RunOptions options) {
    static unsigned runs = 0;
    if (options.cwd.empty()) options.cwd = fs::temp_directory_path();
    const std::string marker = "dravelon-exit-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(runs++);
    argv.insert(argv.begin(), {"/bin/sh", "-c", "m=$1; shift; \"$@\"; echo $? >\"$m.tmp\" && mv \"$m.tmp\" \"$m\"", "sh", marker});
    Outcome outcome = runWindows(L"Z:\\bin\\sh", argv, options);
    const fs::path status = options.cwd / asPath(marker);
    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    while (GetFileAttributesW(status.c_str()) == INVALID_FILE_ATTRIBUTES && !outcome.timedOut) {
        outcome.timedOut = std::chrono::steady_clock::now() > deadline;
        Sleep(10);
    }
    if (outcome.timedOut) return outcome;
    std::ifstream(status) >> outcome.status;
    DeleteFileW(status.c_str());
    return outcome;
}

}  // namespace

Outcome runProgram(std::vector<std::string> argv, const RunOptions& options) {
    if (argv.at(0).rfind('/', 0) == 0) return runLinux(std::move(argv), options);
    return runWindows(asPath(argv[0]).native(), argv, options);
}

// The build gives a Linux path, which Wine shows on drive Z:.
Outcome runDravelon(const std::vector<std::string>& args, const RunOptions& options) {
    std::string program = DRAVELON_PROGRAM;
    if (program.rfind('/', 0) == 0) program = "Z:" + program;
    std::replace(program.begin(), program.end(), '/', '\\');
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(std::move(argv), options);
}

#else

namespace {

const uid_t kNobody = 65534;

void check(bool ok, const char* what) {
    if (!ok) throw std::system_error(errno, std::generic_category(), what);
}

// Enters the directory `path` a name at a time, so that it may be longer
// than the system takes in one call.
bool enterDirectory(const std::string& path) {
    if (path.rfind('/', 0) == 0 && ::chdir("/") != 0) return false;
    for (std::size_t from = 0, slash; from < path.size(); from = slash + 1) {
        slash = std::min(path.find('/', from), path.size());
        if (slash > from && ::chdir(path.substr(from, slash - from).c_str()) != 0) return false;
    }
    return true;
}

// Runs in the forked child: sets the scene, then becomes the program.
[[noreturn]] void becomeProgram(char* const argv[], char* const envp[], const int fds[3], const RunOptions& options,
                                bool dropRoot) {
    ::setsid();
    if (options.ignoredSignal != 0) ::signal(options.ignoredSignal, SIG_IGN);
    const char* step = "redirecting";
    bool ok = ::dup2(fds[0], STDIN_FILENO) >= 0 && ::dup2(fds[2], STDERR_FILENO) >= 0 &&
              (fds[1] < 0 ? ::close(STDOUT_FILENO) == 0 : ::dup2(fds[1], STDOUT_FILENO) >= 0) &&
              (!options.nonBlockingOutput || ::fcntl(STDOUT_FILENO, F_SETFL, O_NONBLOCK) == 0);
    if (ok && !options.cwd.empty()) {
        step = "entering the working directory";
        ok = enterDirectory(options.cwd.native()) && (!options.removeCwd || ::rmdir(options.cwd.c_str()) == 0);
    }
    for (int fd = 3; ok && fd < 3 + options.openDescriptors; ++fd) {
        step = "holding descriptors";
        ok = ::dup2(STDIN_FILENO, fd) == fd;
    }
    if (ok && options.maxOpenFiles > 0) {
        step = "setrlimit";
        const rlimit limit{options.maxOpenFiles, options.maxOpenFiles};
        ok = ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
    }
    if (ok && dropRoot) {
        step = "dropping privileges";
        ok = ::setgroups(0, nullptr) == 0 && ::setresgid(kNobody, kNobody, kNobody) == 0 &&
             ::setresuid(kNobody, kNobody, kNobody) == 0;
    }
    if (ok) {
        step = "exec";
        ::execvpe(argv[0], argv, envp);
    }
    const char* reason = std::strerror(errno);
    for (const char* part : {"test child: ", step, ": ", reason, "\n"})
        if (::write(STDERR_FILENO, part, std::strlen(part)) < 0) break;
    ::_exit(127);
}

// Reads standard output and standard error (each unless -1) until both are
// closed, killing the child `pid` at `deadline`; stops it for a second once
// standard output holds `pauseAfterLines` lines, pauses after each read of
// standard output for `readPause`, and sends `signal`.
void collect(pid_t pid, int outRead, int errRead, std::chrono::steady_clock::time_point deadline,
             const RunOptions& options, Outcome& outcome) {
    pollfd fds[2] = {{outRead, POLLIN, 0}, {errRead, POLLIN, 0}};
    std::string* sinks[2] = {&outcome.out, &outcome.err};
    int stillOpen = (outRead >= 0) + (errRead >= 0);
    const int pauseAfterLines = options.pauseAfterLines;
    bool paused = pauseAfterLines <= 0;
    bool signalled = options.signal == 0;
    while (stillOpen > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 && !outcome.timedOut) {
            outcome.timedOut = true;
            ::kill(pid, SIGKILL);
        }
        const int ready = ::poll(fds, 2, outcome.timedOut ? 1000 : static_cast<int>(left.count()) + 1);
        if (ready < 0 && errno != EINTR) break;
        if (ready == 0 && outcome.timedOut) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[8192];
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
                if (i == 0) std::this_thread::sleep_for(options.readPause);
                if (!signalled && sinks[i]->find(options.signalAfter) != std::string::npos) {
                    signalled = true;
                    ::kill(pid, options.signal);
                }
                if (!paused && std::count(outcome.out.begin(), outcome.out.end(), '\n') >= pauseAfterLines) {
                    paused = true;
                    ::kill(pid, SIGSTOP);
                    std::this_thread::sleep_for(std::chrono::seconds(1));
                    ::kill(pid, SIGCONT);
                }
            } else if (got == 0 || errno != EINTR) {  // EOF, or EIO on the terminal
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --stillOpen;
            }
        }
    }
    for (pollfd& fd : fds)
        if (fd.fd >= 0) ::close(fd.fd);
}

void openPipe(int& readEnd, int& writeEnd) {
    int ends[2];
    check(::pipe2(ends, O_CLOEXEC) == 0, "pipe2");
    readEnd = ends[0];
    writeEnd = ends[1];
}

// The parent opens the terminal's other end before the fork and closes it
// after, so that it is open without a break until the child ends; reading
// the master then gives everything written, then EIO.
void openTerminal(int& master, int& terminal) {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    check(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0, "posix_openpt");
    terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    check(terminal >= 0, "open pty");
}

}  // namespace

Outcome runProgram(std::vector<std::string> argvText, const RunOptions& options) {
    const bool dropRoot = options.unprivileged && ::geteuid() == 0;
    std::vector<char*> argv;
    for (std::string& arg : argvText) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> envText = environment(environ, options.env);
    std::vector<char*> envp;
    for (std::string& variable : envText) envp.push_back(variable.data());
    envp.push_back(nullptr);

    int outRead = -1;
    int outWrite = -1;
    if (!options.outputFile.empty()) {
        outWrite = ::open(options.outputFile.c_str(), O_WRONLY | O_CLOEXEC);
        check(outWrite >= 0, "open the output file");
    } else if (options.terminal) {
        openTerminal(outRead, outWrite);
    } else if (!options.closeOutput) {
        openPipe(outRead, outWrite);
    }
    int errRead = -1;
    int errWrite = outWrite;  // standard output's terminal, shared
    if (options.errorTerminal && !options.terminal)
        openTerminal(errRead, errWrite);
    else if (!options.errorTerminal)
        openPipe(errRead, errWrite);
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    check(devNull >= 0, "open /dev/null");

    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    const pid_t pid = ::fork();
    check(pid >= 0, "fork");
    if (pid == 0) {
        const int fds[3] = {devNull, outWrite, errWrite};
        becomeProgram(argv.data(), envp.data(), fds, options, dropRoot);
    }
    for (int fd : {devNull, outWrite, errWrite == outWrite ? -1 : errWrite})
        if (fd >= 0) ::close(fd);

    Outcome outcome;
    collect(pid, outRead, errRead, deadline, options, outcome);
    int wait = 0;
    rusage usage{};
    while (::wait4(pid, &wait, 0, &usage) < 0 && errno == EINTR) {
    }
    outcome.peakResidentKiB = usage.ru_maxrss;
    outcome.status = WIFEXITED(wait) ? WEXITSTATUS(wait) : 128 + WTERMSIG(wait);
    return outcome;
}

Outcome runDravelon(const std::vector<std::string>& args, const RunOptions& options) {
    // Root ignores permissions, so an unprivileged run drops to nobody, on a
    // copy of the program in a folder that nobody can reach.
    std::optional<TempTree> copy;
    std::vector<std::string> argv{DRAVELON_PROGRAM};
    RunOptions adjusted = options;
    if (options.unprivileged && ::geteuid() == 0) {
        copy.emplace();
        argv[0] = copy->path("dravelon").native();
        fs::copy_file(DRAVELON_PROGRAM, argv[0]);
        copy->chmod("dravelon", 0755);
        if (adjusted.cwd.empty()) adjusted.cwd = "/";
    }
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(std::move(argv), adjusted);
}

#endif
