// What the program must give, shared by the tests: the reason texts, the
// counters, and the report's text, both written and read back.
#ifndef DRAVELON_TESTS_EXPECTED_H
#define DRAVELON_TESTS_EXPECTED_H

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "scanner.h"

// The reason texts, UTF-8: 25 and 45 bytes.
inline const std::string kScreenSaverReason = u8"Ekran koruyucu uzantısı";
inline const std::string kOldExecutableReason = u8"Eski Windows çalıştırılabilir uzantısı";

/// Counters compare field by field and print in report order.
bool operator==(const ScanStatistics& a, const ScanStatistics& b);
std::ostream& operator<<(std::ostream& out, const ScanStatistics& c);

/// `text` with every line feed turned into CR LF: what a terminal shows, and
/// what Windows writes to a redirected stream.
std::string crlf(const std::string& text);

/// `text` as the program writes it to a file or a pipe: unchanged, or with
/// CR LF line ends on Windows.
std::string asWritten(const std::string& text);

/// One "[SUPHELI]" line: the path as the report shows it, and the reason.
struct SuspiciousLine {
    std::string path;
    std::string reason;
};

/// Report lines 1 to 5, as written.
std::string banner();
/// Report lines 1 to 7 for the start path text `start`, as written.
std::string head(const std::string& start);
/// The whole standard output of a completed walk of `start`, as written: the
/// result section follows from the counters and `lines`.
std::string report(const std::string& start, const ScanStatistics& c, const std::vector<SuspiciousLine>& lines);

// The error lines on standard error, as written.
std::string errorLine(const std::string& message);
inline const std::string kNotFound = "Hata: Belirtilen yol bulunamadi.";
inline const std::string kUnreachable = "Hata: Belirtilen yola erisilemedi.";
inline const std::string kNoWorkingDirectory = "Hata: Calisma dizini alinamadi.";
inline const std::string kUnwritable = "Hata: Rapor yazilamadi.";

/// A report read back: its counters and result lines.
struct ParsedReport {
    ScanStatistics counters{};
    std::vector<SuspiciousLine> lines;
    bool nothingToAnalyse = false;  ///< "Analiz edilecek dosya bulunamadi."
    bool noneSuspicious = false;    ///< "Supheli dosya bulunamadi."
};

/// Reads a report with "\n" line ends. Empty when the text is not a complete
/// report in the program's layout (banner, counters, result section, closing
/// lines); `problem` then says where it went wrong.
std::optional<ParsedReport> parseReport(const std::string& text, const std::string& start, std::string& problem);

#endif
