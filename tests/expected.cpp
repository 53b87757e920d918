#include "expected.h"

#include <algorithm>
#include <utility>

namespace {

const std::string kEqualsRule(40, '=');
const std::string kDashRule(40, '-');

// The report's lines before and after the counters and the result section.
std::vector<std::string> headLines(const std::string& start) {
    return {kEqualsRule, "              Dravelon", "          Dosya Tarayici v1.0", kEqualsRule, "",
            "Taraniyor: " + start, ""};
}

const std::vector<std::string> kTailLines = {"", kEqualsRule, "Dravelon taramayi sonlandirdi.", kEqualsRule};

// The counter lines' labels, in report order, with the counter each shows.
std::vector<std::pair<std::string, std::uint64_t*>> labels(ScanStatistics& c) {
    return {{"Klasorler kesfedildi: ", &c.directoriesDiscovered}, {"Dosyalar bulundu:      ", &c.filesFound},
            {"Dosyalar analiz edildi: ", &c.filesAnalyzed},       {"Erisim nedeniyle atlandi: ", &c.accessSkipped},
            {"Korunan sistem alani: ", &c.protectedSkipped},      {"Supheli: ", &c.suspiciousFound}};
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + '\n';
    return text;
}

}  // namespace

bool operator==(const ScanStatistics& a, const ScanStatistics& b) {
    return a.directoriesDiscovered == b.directoriesDiscovered && a.filesFound == b.filesFound &&
           a.filesAnalyzed == b.filesAnalyzed && a.accessSkipped == b.accessSkipped &&
           a.protectedSkipped == b.protectedSkipped && a.suspiciousFound == b.suspiciousFound;
}

std::ostream& operator<<(std::ostream& out, const ScanStatistics& c) {
    return out << "{dirs " << c.directoriesDiscovered << ", found " << c.filesFound << ", analysed " << c.filesAnalyzed
               << ", access " << c.accessSkipped << ", protected " << c.protectedSkipped << ", suspicious "
               << c.suspiciousFound << "}";
}

std::string crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::string asWritten(const std::string& text) {
#ifdef _WIN32
    return crlf(text);
#else
    return text;
#endif
}

std::string banner() {
    std::vector<std::string> lines = headLines("");
    lines.resize(4);
    return asWritten(joinLines(lines) + "\n");
}

std::string head(const std::string& start) { return asWritten(joinLines(headLines(start))); }

std::string report(const std::string& start, const ScanStatistics& c, const std::vector<SuspiciousLine>& lines) {
    std::vector<std::string> text = headLines(start);
    text.insert(text.end(), {"Tarama tamamlandi.", ""});
    ScanStatistics counters = c;
    for (const auto& [label, counter] : labels(counters)) text.push_back(label + std::to_string(*counter));
    text.emplace_back();
    if (c.filesAnalyzed == 0) {
        text.emplace_back("Analiz edilecek dosya bulunamadi.");
    } else {
        text.insert(text.end(), {"Sonuclar:", kDashRule});
        for (const SuspiciousLine& line : lines) text.push_back("[SUPHELI] " + line.path + " -> " + line.reason);
        if (lines.empty()) text.emplace_back("Supheli dosya bulunamadi.");
    }
    text.insert(text.end(), kTailLines.begin(), kTailLines.end());
    return asWritten(joinLines(text));
}

std::string errorLine(const std::string& message) { return asWritten(message + "\n"); }

std::optional<ParsedReport> parseReport(const std::string& text, const std::string& start, std::string& problem) {
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
    std::vector<std::string> head = headLines(start);
    head.insert(head.end(), {"Tarama tamamlandi.", ""});
    if (lines.size() < head.size() + 7 + 1 + kTailLines.size()) {
        problem = "report too short";
        return std::nullopt;
    }
    for (std::size_t i = 0; i < head.size(); ++i)
        if (lines[i] != head[i]) {
            problem = "line " + std::to_string(i + 1) + " is \"" + lines[i] + "\"";
            return std::nullopt;
        }
    if (!std::equal(kTailLines.begin(), kTailLines.end(), lines.end() - kTailLines.size())) {
        problem = "closing lines missing";
        return std::nullopt;
    }
    ParsedReport report;
    std::size_t at = head.size();
    for (const auto& [label, counter] : labels(report.counters)) {
        const std::string& line = lines[at++];
        const std::string digits = line.substr(std::min(label.size(), line.size()));
        if (line.compare(0, label.size(), label) != 0 || digits.empty() ||
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
    const std::size_t last = lines.size() - kTailLines.size();  // first closing line
    if (lines[at] == "Analiz edilecek dosya bulunamadi." && at + 1 == last) {
        report.nothingToAnalyse = true;
        return report;
    }
    if (lines[at] != "Sonuclar:" || lines[at + 1] != kDashRule) {
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
