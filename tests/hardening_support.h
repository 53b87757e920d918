// Helpers for the hardening tests: a scratch directory, entries made in it,
// a run of the built program with its output captured (through a pipe or a
// pseudo-terminal), and the report's layout, both written and read.
#ifndef DRAVELON_HARDENING_SUPPORT_H
#define DRAVELON_HARDENING_SUPPORT_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

namespace hardening {

namespace fs = std::filesystem;

// ---------------------------------------------------------------- trees

/// A fresh directory under the system's temporary folder, removed with all it
/// holds when the object goes. Its path holds no backslash, so no path below
/// it is protected unless a name in it is.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& prefix) {
        std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::system_error(errno, std::generic_category(), "mkdtemp");
        path_ = pattern;
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
        EXPECT_FALSE(ec) << "cannot remove " << path_ << ": " << ec.message();
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

inline void makeFile(const fs::path& path) {
    std::ofstream out(path);
    if (!out) throw std::runtime_error("cannot create " + path.string());
}

inline void makeFifo(const fs::path& path) {
    if (mkfifo(path.c_str(), 0644) != 0) throw std::system_error(errno, std::generic_category(), "mkfifo " + path.string());
}

/// Names of the entries of `dir` in the order in which a listing yields them.
inline std::vector<std::string> listingOrder(const fs::path& dir) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    return names;
}

// ---------------------------------------------------------------- runs

enum class Output { Pipe, Terminal };

struct RunResult {
    int status = -1;        ///< exit status, or 128 + signal number
    bool timedOut = false;  ///< killed after the time limit
    std::string out;        ///< standard output, as read from the pipe or the terminal
    std::string err;        ///< standard error
};

/// Runs `argv[0]` (looked up in PATH when it holds no slash) with the rest of
/// `argv` as its arguments, the environment of this process plus `extraEnv`
/// ("NAME=value" each), standard input from /dev/null, standard error into a
/// pipe, and standard output into a pipe or onto a fresh pseudo-terminal. A
/// run that outlives `timeout` is killed.
inline RunResult runProcess(std::vector<std::string> argvText, Output output, std::chrono::milliseconds timeout,
                            std::vector<std::string> extraEnv = {}) {
    RunResult result;
    std::vector<char*> argv;
    for (std::string& arg : argvText) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** variable = environ; *variable != nullptr; ++variable) envp.push_back(*variable);
    for (std::string& variable : extraEnv) envp.push_back(variable.data());
    envp.push_back(nullptr);

    int errPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
    int outRead = -1;
    int outWrite = -1;
    if (output == Output::Pipe) {
        int outPipe[2];
        if (pipe2(outPipe, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
        outRead = outPipe[0];
        outWrite = outPipe[1];
    } else {
        // The parent opens the terminal's other end before the fork and closes
        // it after, so that it is open without a break until the child ends;
        // reading the master then gives everything written, then EIO.
        outRead = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (outRead < 0 || grantpt(outRead) != 0 || unlockpt(outRead) != 0)
            throw std::system_error(errno, std::generic_category(), "posix_openpt");
        outWrite = open(ptsname(outRead), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (outWrite < 0) throw std::system_error(errno, std::generic_category(), "open pty");
    }
    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);

    const pid_t pid = fork();
    if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
    if (pid == 0) {
        setsid();
        dup2(devNull, 0);
        dup2(outWrite, 1);
        dup2(errPipe[1], 2);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(devNull);
    close(outWrite);
    close(errPipe[1]);

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    pollfd fds[2] = {{outRead, POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int stillOpen = 2;
    while (stillOpen > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 && !result.timedOut) {
            result.timedOut = true;
            kill(pid, SIGKILL);
        }
        const int ready = poll(fds, 2, result.timedOut ? 1000 : static_cast<int>(left.count()) + 1);
        if (ready < 0 && errno != EINTR) break;
        if (ready == 0 && result.timedOut) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[8192];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {  // EOF, or EIO on the terminal
                close(fds[i].fd);
                fds[i].fd = -1;
                --stillOpen;
            }
        }
    }
    for (pollfd& fd : fds)
        if (fd.fd >= 0) close(fd.fd);
    int wait = 0;
    while (waitpid(pid, &wait, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(wait) ? WEXITSTATUS(wait) : 128 + WTERMSIG(wait);
    return result;
}

/// Runs the built program with `args`; see runProcess.
inline RunResult runDravelon(const std::vector<std::string>& args, Output output = Output::Pipe,
                             std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    std::vector<std::string> argv = {DRAVELON_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(std::move(argv), output, timeout);
}

/// What a terminal shows for bytes that the program wrote: the terminal's
/// output processing turns each line feed into carriage return and line feed.
inline std::string asOnTerminal(const std::string& written) {
    std::string shown;
    for (char c : written) {
        if (c == '\n') shown += '\r';
        shown += c;
    }
    return shown;
}

// ---------------------------------------------------------------- report

struct Counters {
    std::uint64_t directoriesDiscovered = 0;
    std::uint64_t filesFound = 0;
    std::uint64_t filesAnalyzed = 0;
    std::uint64_t accessSkipped = 0;
    std::uint64_t protectedSkipped = 0;
    std::uint64_t suspiciousFound = 0;
};

inline bool operator==(const Counters& a, const Counters& b) {
    return a.directoriesDiscovered == b.directoriesDiscovered && a.filesFound == b.filesFound &&
           a.filesAnalyzed == b.filesAnalyzed && a.accessSkipped == b.accessSkipped &&
           a.protectedSkipped == b.protectedSkipped && a.suspiciousFound == b.suspiciousFound;
}

inline std::ostream& operator<<(std::ostream& out, const Counters& c) {
    return out << "{dirs " << c.directoriesDiscovered << ", found " << c.filesFound << ", analysed " << c.filesAnalyzed
               << ", access " << c.accessSkipped << ", protected " << c.protectedSkipped << ", suspicious "
               << c.suspiciousFound << "}";
}

inline const char kScrReason[] = "Ekran koruyucu uzantısı";
inline const char kPifReason[] = "Eski Windows çalıştırılabilir uzantısı";

struct SuspiciousLine {
    std::string path;    ///< as the report shows it
    std::string reason;
};

inline const char kRule[] = "========================================\n";

/// The whole standard output of a completed walk of `shownStart`.
inline std::string reportText(const std::string& shownStart, const Counters& c, const std::vector<SuspiciousLine>& lines) {
    std::ostringstream out;
    out << kRule << "              Dravelon\n          Dosya Tarayici v1.0\n" << kRule << "\nTaraniyor: " << shownStart
        << "\n\nTarama tamamlandi.\n\nKlasorler kesfedildi: " << c.directoriesDiscovered
        << "\nDosyalar bulundu:      " << c.filesFound << "\nDosyalar analiz edildi: " << c.filesAnalyzed
        << "\nErisim nedeniyle atlandi: " << c.accessSkipped << "\nKorunan sistem alani: " << c.protectedSkipped
        << "\nSupheli: " << c.suspiciousFound << "\n\n";
    if (c.filesAnalyzed == 0) {
        out << "Analiz edilecek dosya bulunamadi.\n";
    } else {
        out << "Sonuclar:\n----------------------------------------\n";
        for (const SuspiciousLine& line : lines) out << "[SUPHELI] " << line.path << " -> " << line.reason << '\n';
        if (lines.empty()) out << "Supheli dosya bulunamadi.\n";
    }
    out << '\n' << kRule << "Dravelon taramayi sonlandirdi.\n" << kRule;
    return out.str();
}

/// A report read back: its counters and result lines. Empty when the text is
/// not a complete report in the program's layout (banner, counters, result
/// section, closing lines); `problem` then says where it went wrong.
struct ParsedReport {
    Counters counters;
    std::vector<SuspiciousLine> lines;
    bool nothingToAnalyse = false;  ///< "Analiz edilecek dosya bulunamadi."
    bool noneSuspicious = false;    ///< "Supheli dosya bulunamadi."
};

inline std::optional<ParsedReport> parseReport(const std::string& text, const std::string& shownStart, std::string& problem) {
    std::vector<std::string> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) {
            problem = "last line has no line feed";
            return std::nullopt;
        }
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    const std::vector<std::string> head = {std::string(kRule, 40), "              Dravelon", "          Dosya Tarayici v1.0",
                                           std::string(kRule, 40), "", "Taraniyor: " + shownStart, "",
                                           "Tarama tamamlandi.", ""};
    const std::vector<std::string> tail = {"", std::string(kRule, 40), "Dravelon taramayi sonlandirdi.", std::string(kRule, 40)};
    if (lines.size() < head.size() + 7 + 1 + tail.size()) {
        problem = "report too short";
        return std::nullopt;
    }
    for (std::size_t i = 0; i < head.size(); ++i)
        if (lines[i] != head[i]) {
            problem = "line " + std::to_string(i + 1) + " is \"" + lines[i] + "\"";
            return std::nullopt;
        }
    for (std::size_t i = 0; i < tail.size(); ++i)
        if (lines[lines.size() - tail.size() + i] != tail[i]) {
            problem = "closing lines missing";
            return std::nullopt;
        }
    ParsedReport report;
    const std::pair<const char*, std::uint64_t*> labels[] = {
        {"Klasorler kesfedildi: ", &report.counters.directoriesDiscovered},
        {"Dosyalar bulundu:      ", &report.counters.filesFound},
        {"Dosyalar analiz edildi: ", &report.counters.filesAnalyzed},
        {"Erisim nedeniyle atlandi: ", &report.counters.accessSkipped},
        {"Korunan sistem alani: ", &report.counters.protectedSkipped},
        {"Supheli: ", &report.counters.suspiciousFound},
    };
    std::size_t at = head.size();
    for (const auto& [label, counter] : labels) {
        const std::string& line = lines[at++];
        const std::string prefix = label;
        const std::string digits = line.substr(std::min(prefix.size(), line.size()));
        if (line.compare(0, prefix.size(), prefix) != 0 || digits.empty() ||
            digits.find_first_not_of("0123456789") != std::string::npos || (digits.size() > 1 && digits[0] == '0')) {
            problem = "counter line \"" + line + "\"";
            return std::nullopt;
        }
        *counter = std::stoull(digits);
    }
    if (lines[at++] != "") {
        problem = "no empty line after the counters";
        return std::nullopt;
    }
    const std::size_t last = lines.size() - tail.size();  // first closing line
    if (lines[at] == "Analiz edilecek dosya bulunamadi." && at + 1 == last) {
        report.nothingToAnalyse = true;
        return report;
    }
    if (lines[at] != "Sonuclar:" || lines[at + 1] != std::string(40, '-')) {
        problem = "result section begins with \"" + lines[at] + "\"";
        return std::nullopt;
    }
    for (at += 2; at < last; ++at) {
        const std::string& line = lines[at];
        if (line == "Supheli dosya bulunamadi." && at + 1 == last) {
            report.noneSuspicious = true;
            break;
        }
        const std::string tag = "[SUPHELI] ";
        const std::size_t arrow = line.rfind(" -> ");
        if (line.compare(0, tag.size(), tag) != 0 || arrow == std::string::npos || arrow < tag.size()) {
            problem = "result line \"" + line + "\"";
            return std::nullopt;
        }
        report.lines.push_back({line.substr(tag.size(), arrow - tag.size()), line.substr(arrow + 4)});
    }
    return report;
}

}  // namespace hardening

#endif
