// Dravelon: scans a directory tree, or one file, for suspicious extensions and
// prints a fixed-layout report.
//
// Exit status: 0 after a walk, 1 when the start path does not exist, 2 when the
// start path or the working directory cannot be reached or put into text, or
// when the report cannot be written.
//
// When standard output is a terminal, control characters in the printed paths
// are shown as "?"; a pipe or a file receives every byte as it is. When
// standard error is a terminal, a long walk shows its progress there on one
// line, which is erased before the report goes on.

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "console.h"
#include "scanner.h"

namespace fs = std::filesystem;

namespace {

constexpr char kEqualsRule[] = "========================================";
constexpr char kDashRule[] = "----------------------------------------";

void print(std::string_view text) { write(Stream::output, text); }

// Ends the run after a failure: whatever the report already holds is shown
// first, then one line on standard error. Returns the exit status.
int fail(const char* message, int status = 2) {
    flush(Stream::output);
    write(Stream::error, std::string(message) + '\n');
    flush(Stream::error);
    return status;
}

// A path text as a terminal may show it: every control character becomes
// "?", so that a file's name cannot move the cursor, erase lines or forge
// report lines. These are the bytes 0x01 to 0x1F and 0x7F, and the C1
// controls in their UTF-8 form 0xC2 0x80 to 0xC2 0x9F (one "?" for the pair).
std::string masked(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F) {
            shown += '?';
        } else if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            shown += '?';
            ++i;
        } else {
            shown += text[i];
        }
    }
    return shown;
}

// Writes a path text: masked on a terminal, byte for byte elsewhere.
void printPath(std::string_view text, bool terminal) {
    if (terminal)
        print(masked(text));
    else
        print(text);
}

// The line on standard error that shows how far a long walk has come. It
// appears once the run has lasted half a second, is rewritten a few times a
// second, and only when standard error is a terminal that can rewrite a line.
class ProgressLine {
public:
    explicit ProgressLine(std::chrono::steady_clock::time_point start) : start_(start) {
        const char* term = std::getenv("TERM");
        enabled_ = isTerminal(Stream::error) && (term == nullptr || std::strcmp(term, "dumb") != 0);
    }

    bool enabled() const { return enabled_; }

    void update(const ScanStatistics& stats, std::string_view folder) {
        const auto now = std::chrono::steady_clock::now();
        if (now - start_ < std::chrono::milliseconds(500) || (shown_ && now - last_ < std::chrono::milliseconds(200)))
            return;
        last_ = now;
        shown_ = true;
        rewriteLine(Stream::error, compose(stats, folder));
    }

    // Leaves the terminal as it was before the line appeared.
    void erase() {
        if (shown_) rewriteLine(Stream::error, {});
        shown_ = false;
    }

private:
    // The counts and the folder, shortened from the left to the terminal's
    // width less one, so that the line never wraps: counted in bytes, which
    // is never fewer than the columns they take, and cut where a UTF-8
    // character begins.
    static std::string compose(const ScanStatistics& stats, std::string_view folder) {
        std::string line = "Taraniyor... " + std::to_string(stats.filesFound) + " dosya, " +
                           std::to_string(stats.directoriesDiscovered) + " klasor: ";
        const std::size_t width = terminalWidth(Stream::error);
        const std::size_t room = (width > 1 ? width : 80) - 1;
        if (line.size() >= room) return line.substr(0, room);
        std::string shown = masked(folder);
        if (line.size() + shown.size() > room) {
            const std::string_view elided = "...";
            std::size_t from = shown.size() - (room - line.size());
            from = from + elided.size() > shown.size() ? shown.size() : from + elided.size();
            while (from < shown.size() && (static_cast<unsigned char>(shown[from]) & 0xC0) == 0x80) ++from;
            shown = std::string(elided) + shown.substr(from);
            if (line.size() + shown.size() > room) shown.clear();
        }
        return line + shown;
    }

    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_;
    bool enabled_ = false;
    bool shown_ = false;
};

// A suspicious file as the report lists it.
struct Finding {
    std::string path;
    std::string_view reason;  // one of the walk's fixed reason texts
};

void printReport(const ScanStatistics& stats, const std::vector<Finding>& findings, bool terminal) {
    print("Tarama tamamlandi.\n\nKlasorler kesfedildi: " + std::to_string(stats.directoriesDiscovered) +
          "\nDosyalar bulundu:      " + std::to_string(stats.filesFound) +
          "\nDosyalar analiz edildi: " + std::to_string(stats.filesAnalyzed) +
          "\nErisim nedeniyle atlandi: " + std::to_string(stats.accessSkipped) +
          "\nKorunan sistem alani: " + std::to_string(stats.protectedSkipped) +
          "\nSupheli: " + std::to_string(stats.suspiciousFound) + "\n\n");
    // Every analysed file has a result, so none was analysed exactly when the
    // list of results would be empty.
    if (stats.filesAnalyzed == 0) {
        print("Analiz edilecek dosya bulunamadi.\n");
    } else {
        print("Sonuclar:\n");
        print(kDashRule);
        print("\n");
        for (const Finding& finding : findings) {
            print("[SUPHELI] ");
            printPath(finding.path, terminal);
            if (!finding.reason.empty()) {
                print(" -> ");
                print(finding.reason);
            }
            print("\n");
        }
        if (stats.suspiciousFound == 0) print("Supheli dosya bulunamadi.\n");
    }
    print("\n");
    print(kEqualsRule);
    print("\nDravelon taramayi sonlandirdi.\n");
    print(kEqualsRule);
    print("\n");
}

}  // namespace

int main(int argc, char* argv[]) {
    ProgressLine progress(std::chrono::steady_clock::now());
    const bool terminal = isTerminal(Stream::output);
    print(kEqualsRule);
    print("\n              Dravelon\n          Dosya Tarayici v1.0\n");
    print(kEqualsRule);
    print("\n\n");

    fs::path start;
    if (argc < 2) {
        std::error_code ec;
        start = fs::current_path(ec);
        if (ec) return fail("Hata: Calisma dizini alinamadi.");
    } else {
        try {
            start = pathFromText(argv[1]);
        } catch (const fs::filesystem_error&) {
            return fail("Hata: Belirtilen yol gecersiz.");
        }
    }

    try {
        const std::string text = pathText(start);
        print("Taraniyor: ");
        printPath(text, terminal);
        print("\n\n");
    } catch (const fs::filesystem_error&) {
        return fail("Hata: Belirtilen yol gecersiz.");
    }

    std::error_code ec;
    const fs::file_status startStatus = startPathStatus(start, ec);
    if (startStatus.type() == fs::file_type::not_found) return fail("Hata: Belirtilen yol bulunamadi.", 1);
    if (ec) return fail("Hata: Belirtilen yola erisilemedi.");

    Scanner scanner;
    ScanStatistics stats{};
    // Only the suspicious files are kept: memory does not grow with the tree.
    std::vector<Finding> findings;
    ScanProgress onFolder;
    if (progress.enabled()) {
        // The report's head is out before the walk starts, whichever of the
        // two streams is a terminal.
        flush(Stream::output);
        onFolder = [&progress, &stats](std::string_view folder) { progress.update(stats, folder); };
    }
    try {
        scanner.scan(
            start, stats,
            [&findings](const ScanResultView& result) {
                if (result.suspicious) findings.push_back(Finding{result.text(), result.reason});
            },
            onFolder);
    } catch (const fs::filesystem_error&) {
        // The start path changed between the two queries.
        progress.erase();
        return fail("Hata: Belirtilen yola erisilemedi.");
    }
    progress.erase();

    printReport(stats, findings, terminal);
    if (!flush(Stream::output)) return fail("Hata: Rapor yazilamadi.");
    return 0;
}
