#include "ProgressBar.h"

#include <algorithm>

std::string FormatBytes(double bytes) {
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024.0 && unit < 4) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[32];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%.0f %s", bytes, kUnits[unit]);
    else
        std::snprintf(text, sizeof text, "%.1f %s", bytes, kUnits[unit]);
    return text;
}

std::string FormatProgress(std::int64_t done, std::int64_t total, double bytesPerSecond) {
    std::string line = "  " + FormatBytes(static_cast<double>(done));
    if (total >= 0) {
        int percent = total == 0 ? 100 : static_cast<int>(std::min<std::int64_t>(100, done * 100 / total));
        constexpr int kWidth = 20;
        int filled = percent * kWidth / 100;
        char text[64];
        std::snprintf(text, sizeof text, " / %s %3d%% [", FormatBytes(static_cast<double>(total)).c_str(), percent);
        line += text;
        line += std::string(static_cast<std::size_t>(filled), '#') + std::string(static_cast<std::size_t>(kWidth - filled), '.') + "]";
    }
    line += "  " + FormatBytes(bytesPerSecond) + "/s";
    return line;
}

void ProgressBar::Start(std::int64_t total, std::int64_t offset) {
    total_ = total;
    offset_ = offset;
    start_ = Clock::now();
    lastDraw_ = Clock::time_point{};
    active_ = true;
}

void ProgressBar::Update(std::int64_t done) {
    if (!active_)
        return;
    Clock::time_point now = Clock::now();
    if (now - lastDraw_ < std::chrono::milliseconds(100))
        return;
    Draw(done, now);
}

void ProgressBar::Finish(std::int64_t done) {
    if (!active_)
        return;
    Draw(done, Clock::now());
    BreakLine();
    active_ = false;
}

void ProgressBar::BreakLine() {
    if (!lineOpen_)
        return;
    std::fputc('\n', out_);
    std::fflush(out_);
    lineOpen_ = false;
}

void ProgressBar::Draw(std::int64_t done, Clock::time_point now) {
    lastDraw_ = now;
    double seconds = std::chrono::duration<double>(now - start_).count();
    double rate = seconds > 0 ? static_cast<double>(done - offset_) / seconds : 0.0;
    // Pads over the end of a longer previous line.
    std::fprintf(out_, "\r%-72s", FormatProgress(done, total_, std::max(0.0, rate)).c_str());
    std::fflush(out_);
    lineOpen_ = true;
}
