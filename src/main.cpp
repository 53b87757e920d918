// Dravelon: scans a directory tree, or one file, for suspicious extensions and
// prints a fixed-layout report.
//
// Exit status: 0 after a walk, 1 when the start path does not exist, 2 when the
// start path or the working directory cannot be reached or put into text.
//
// When standard output is a terminal, control characters in the printed paths
// are shown as "?"; a pipe or a file receives every byte as it is.

#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <stdio.h>
#else
#include <unistd.h>
#endif

#include "scanner.h"

namespace fs = std::filesystem;

namespace {

constexpr char kEqualsRule[] = "========================================";
constexpr char kDashRule[] = "----------------------------------------";

// Ends the run after a failure: whatever the report already holds is shown
// first, then one line on standard error. Returns the exit status.
int fail(const char* message, int status = 2) {
    std::cout.flush();
    std::cerr << message << '\n';
    std::cerr.flush();
    return status;
}

// True when standard output is shown on a terminal rather than read by a
// program or written to a file.
bool isTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(STDOUT_FILENO) != 0;
#endif
}

// Writes a path text. On a terminal every control character becomes "?", so
// that a file's name cannot move the cursor, erase lines or forge report
// lines: the bytes 0x01 to 0x1F and 0x7F, and the C1 controls in their UTF-8
// form 0xC2 0x80 to 0xC2 0x9F (one "?" for the pair). Elsewhere the bytes are
// written as they are.
void writePath(std::string_view text, bool terminal) {
    if (!terminal) {
        std::cout << text;
        return;
    }
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
    std::cout << shown;
}

// A suspicious file as the report lists it.
struct Finding {
    std::string path;
    std::string_view reason;  // one of the walk's fixed reason texts
};

void printReport(const ScanStatistics& stats, const std::vector<Finding>& findings, bool terminal) {
    std::cout << "Tarama tamamlandi.\n"
              << '\n'
              << "Klasorler kesfedildi: " << stats.directoriesDiscovered << '\n'
              << "Dosyalar bulundu:      " << stats.filesFound << '\n'
              << "Dosyalar analiz edildi: " << stats.filesAnalyzed << '\n'
              << "Erisim nedeniyle atlandi: " << stats.accessSkipped << '\n'
              << "Korunan sistem alani: " << stats.protectedSkipped << '\n'
              << "Supheli: " << stats.suspiciousFound << '\n'
              << '\n';
    if (stats.filesAnalyzed == 0) {
        std::cout << "Analiz edilecek dosya bulunamadi.\n";
    } else {
        std::cout << "Sonuclar:\n" << kDashRule << '\n';
        for (const Finding& finding : findings) {
            std::cout << "[SUPHELI] ";
            writePath(finding.path, terminal);
            if (!finding.reason.empty()) std::cout << " -> " << finding.reason;
            std::cout << '\n';
        }
        if (stats.suspiciousFound == 0) std::cout << "Supheli dosya bulunamadi.\n";
    }
    std::cout << '\n' << kEqualsRule << "\nDravelon taramayi sonlandirdi.\n" << kEqualsRule << '\n';
}

}  // namespace

int main(int argc, char* argv[]) {
    const bool terminal = isTerminal();
    std::cout << kEqualsRule << "\n              Dravelon\n          Dosya Tarayici v1.0\n" << kEqualsRule << "\n\n";

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
        std::cout << "Taraniyor: ";
        writePath(pathText(start), terminal);
        std::cout << "\n\n";
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
    try {
        scanner.scan(start, stats, [&findings](const ScanResultView& result) {
            if (result.suspicious) findings.push_back(Finding{result.text(), result.reason});
        });
    } catch (const fs::filesystem_error&) {
        // The start path changed between the two queries.
        return fail("Hata: Belirtilen yola erisilemedi.");
    }

    printReport(stats, findings, terminal);
    return 0;
}
