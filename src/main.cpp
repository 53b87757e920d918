// Dravelon: scans a directory tree, or one file, for suspicious extensions and
// prints a fixed-layout report.
//
// Exit status: 0 after a walk, 1 when the start path does not exist, 2 when the
// start path or the working directory cannot be reached, when the argument
// cannot become a path, or when the report cannot be written.
//
// When standard output is a terminal, control and bidirectional formatting
// characters in the printed paths are shown as "?"; a pipe or a file receives
// every byte as it is. When standard error is a terminal, a long walk shows
// its progress there on one line, which is erased before the report goes on
// (console.h).

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "console.h"
#include "finding_list.h"
#include "path_text.h"
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

// Writes a path text: masked on a terminal, byte for byte elsewhere.
void printPath(std::string_view text, bool terminal) {
    if (terminal)
        print(masked(text));
    else
        print(text);
}

void printReport(const ScanStatistics& stats, const FindingList& findings, bool terminal) {
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
        findings.forEach([terminal](std::string_view path, std::string_view reason) {
            print("[SUPHELI] ");
            printPath(path, terminal);
            if (!reason.empty()) {
                print(" -> ");
                print(reason);
            }
            print("\n");
        });
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
    std::optional<std::string> argument;
    try {
        argument = firstArgument(argc, argv);
        if (argument) start = pathFromText(*argument);
    } catch (const fs::filesystem_error&) {
        return fail("Hata: Belirtilen yol gecersiz.");
    }
    if (!argument) {
        std::error_code ec;
        start = fs::current_path(ec);
        if (ec) return fail("Hata: Calisma dizini alinamadi.");
    }

    const std::string text = pathText(start);
    std::string shown;
    print("Taraniyor: ");
    printPath(shownText(text, shown), terminal);
    print("\n\n");

    std::error_code ec;
    const fs::file_status startStatus = startPathStatus(start, ec);
    if (startStatus.type() == fs::file_type::not_found) return fail("Hata: Belirtilen yol bulunamadi.", 1);
    if (ec) return fail("Hata: Belirtilen yola erisilemedi.");

    Scanner scanner;
    ScanStatistics stats{};
    // Only the suspicious files are kept: memory does not grow with the tree.
    FindingList findings;
    ScanProgress onFolder;
    if (progress.enabled()) {
        // The report's head is out before the walk starts, whichever of the
        // two streams is a terminal.
        flush(Stream::output);
        onFolder = [&progress, &stats](std::string_view folder) {
            progress.update(stats.filesFound, stats.directoriesDiscovered, folder);
        };
    }
    try {
        scanner.scan(
            start, stats,
            [&findings](const ScanResultView& result) {
                if (result.suspicious) findings.add(result.text(), result.reason);
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
