// Dravelon: scans a directory tree, or one file, for suspicious extensions and
// prints a fixed-layout report.
//
// Exit status: 0 after a walk, 1 when the start path does not exist, 2 when the
// start path or the working directory cannot be reached or put into text.

#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "scanner.h"

namespace fs = std::filesystem;

namespace {

constexpr char kEqualsRule[] = "========================================";
constexpr char kDashRule[] = "----------------------------------------";

// Ends the run after a failure: whatever the report already holds is shown
// first, then one line on standard error.
int fail(const char* message) {
    std::cout.flush();
    std::cerr << message << '\n';
    std::cerr.flush();
    return 2;
}

void printReport(const ScanStatistics& stats, const std::vector<ScanResult>& results) {
    std::cout << "Tarama tamamlandi.\n"
              << '\n'
              << "Klasorler kesfedildi: " << stats.directoriesDiscovered << '\n'
              << "Dosyalar bulundu:      " << stats.filesFound << '\n'
              << "Dosyalar analiz edildi: " << stats.filesAnalyzed << '\n'
              << "Erisim nedeniyle atlandi: " << stats.accessSkipped << '\n'
              << "Korunan sistem alani: " << stats.protectedSkipped << '\n'
              << "Supheli: " << stats.suspiciousFound << '\n'
              << '\n';
    if (results.empty()) {
        std::cout << "Analiz edilecek dosya bulunamadi.\n";
    } else {
        std::cout << "Sonuclar:\n" << kDashRule << '\n';
        for (const ScanResult& result : results) {
            if (!result.suspicious) continue;
            std::cout << "[SUPHELI] " << pathText(result.path);
            if (!result.reason.empty()) std::cout << " -> " << result.reason;
            std::cout << '\n';
        }
        if (stats.suspiciousFound == 0) std::cout << "Supheli dosya bulunamadi.\n";
    }
    std::cout << '\n' << kEqualsRule << "\nDravelon taramayi sonlandirdi.\n" << kEqualsRule << '\n';
}

}  // namespace

int main(int argc, char* argv[]) {
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
        std::cout << "Taraniyor: " << pathText(start) << "\n\n";
    } catch (const fs::filesystem_error&) {
        return fail("Hata: Belirtilen yol gecersiz.");
    }

    std::error_code ec;
    const fs::file_status startStatus = startPathStatus(start, ec);
    if (startStatus.type() == fs::file_type::not_found) {
        std::cout.flush();
        std::cerr << "Hata: Belirtilen yol bulunamadi.\n";
        return 1;
    }
    if (ec) return fail("Hata: Belirtilen yola erisilemedi.");

    Scanner scanner;
    ScanStatistics stats{};
    std::vector<ScanResult> results;
    try {
        results = scanner.scan(start, stats);
    } catch (const fs::filesystem_error&) {
        // The start path changed between the two queries.
        return fail("Hata: Belirtilen yola erisilemedi.");
    }

    try {
        printReport(stats, results);
    } catch (const fs::filesystem_error&) {
        return fail("Hata: Belirtilen yol gecersiz.");
    }
    return 0;
}
