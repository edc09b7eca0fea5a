#include "suite_report.h"

#include <algorithm>
#include <functional>
#include <string>

namespace {

// Timed rows by throughput, then those that did not run.
std::vector<bench_row> fastest_first(std::vector<bench_row> rows) {
    std::stable_sort(rows.begin(), rows.end(), [](const bench_row& a, const bench_row& b) {
        if (a.timed != b.timed) return a.timed;
        return a.timed && a.mpixel_per_s > b.mpixel_per_s;
    });
    return rows;
}

void print_header(std::FILE* out, const bench_row& first) {
    std::fprintf(out, "Device: %s%s\n", first.device.c_str(),
                 first.emulated ? " (times are CPU-emulation times, not GPU times)" : "");
    std::fprintf(out, "Image: %s, %dx%d; %d launch%s per kernel; Mpixel/s and GB/s from the best launch\n",
                 first.image.c_str(), first.width, first.height, first.repeats, first.repeats == 1 ? "" : "es");
}

std::string figure(bool timed, const char* format, double value) {
    if (!timed) return "-";
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

void print_notes(std::FILE* out, const std::vector<bench_row>& rows) {
    for (const bench_row& r : rows) {
        if (r.status == bench_status::ok) continue;
        std::fprintf(out, "  %s: %s", r.kernel.c_str(), status_name(r.status));
        if (r.status == bench_status::failed) std::fprintf(out, ", %ld wrong pixels", r.wrong_pixels);
        std::fprintf(out, "; %s\n", r.detail.c_str());
    }
}

std::string csv_field(const std::string& s) {
    if (s.find_first_of(",\"\n") == std::string::npos) return s;
    std::string out = "\"";
    for (const char ch : s) out += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return out + "\"";
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

// The fields of a row in file order; `text` quotes a string for the format.
std::vector<std::pair<const char*, std::string>> fields(const bench_row& r,
                                                        const std::function<std::string(const std::string&)>& text,
                                                        const std::string& missing) {
    const auto timing = [&](double v) { return r.timed ? number(v) : missing; };
    return {{"kernel", text(r.kernel)},
            {"device", text(r.device)},
            {"emulated", r.emulated ? "true" : "false"},
            {"image", text(r.image)},
            {"width", std::to_string(r.width)},
            {"height", std::to_string(r.height)},
            {"repeats", std::to_string(r.repeats)},
            {"covered_pixels", std::to_string(r.covered_pixels)},
            {"status", text(status_name(r.status))},
            {"wrong_pixels", std::to_string(r.wrong_pixels)},
            {"detail", text(r.detail)},
            {"best_ms", timing(r.best_ms)},
            {"median_ms", timing(r.median_ms)},
            {"mpixel_per_s", timing(r.mpixel_per_s)},
            {"gb_per_s", timing(r.gb_per_s)},
            {"source", text("median_suite")}};
}

}  // namespace

std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

void print_bench_table(std::FILE* out, const std::vector<bench_row>& unsorted) {
    if (unsorted.empty()) return;
    const std::vector<bench_row> rows = fastest_first(unsorted);
    print_header(out, rows.front());
    int name_width = 6;
    for (const bench_row& r : rows) name_width = std::max(name_width, static_cast<int>(r.kernel.size()));
    std::fprintf(out, "%-*s  %-7s  %10s  %10s  %10s  %8s  %10s  %8s\n", name_width, "kernel", "status", "best ms",
                 "median ms", "Mpixel/s", "GB/s", "covered px", "wrong px");
    for (const bench_row& r : rows)
        std::fprintf(out, "%-*s  %-7s  %10s  %10s  %10s  %8s  %10ld  %8ld\n", name_width, r.kernel.c_str(),
                     status_name(r.status), figure(r.timed, "%.4f", r.best_ms).c_str(),
                     figure(r.timed, "%.4f", r.median_ms).c_str(), figure(r.timed, "%.1f", r.mpixel_per_s).c_str(),
                     figure(r.timed, "%.2f", r.gb_per_s).c_str(), r.covered_pixels, r.wrong_pixels);
    print_notes(out, rows);
    std::fprintf(out, "\n");
    std::fflush(out);
}

bool write_bench_json(atomic_file& file, const std::vector<bench_row>& rows, std::string& error) {
    std::string json = "{\"rows\": [";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        json += i ? ",\n  {" : "\n  {";
        bool first = true;
        for (const auto& [key, value] : fields(rows[i], json_string, "null")) {
            json += (first ? "\"" : ", \"") + std::string(key) + "\": " + value;
            first = false;
        }
        json += "}";
    }
    json += "\n]}\n";
    return file.commit(json, error);
}

bool write_bench_csv(atomic_file& file, const std::vector<bench_row>& rows, std::string& error) {
    std::string csv;
    for (const auto& field : fields(bench_row{}, csv_field, ""))
        csv += std::string(csv.empty() ? "" : ",") + field.first;
    csv += "\n";
    for (const bench_row& r : rows) {
        std::string line;
        for (const auto& field : fields(r, csv_field, "")) line += (line.empty() ? "" : ",") + field.second;
        csv += line + "\n";
    }
    return file.commit(csv, error);
}
