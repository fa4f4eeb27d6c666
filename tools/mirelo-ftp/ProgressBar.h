// The --progress display of mirelo-ftp: one line on standard error, redrawn in place at most ten
// times a second, with the bytes moved, the percentage when the size is known, and the speed.
// Loop thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

// "  3.2 MiB / 10.0 MiB  32%  [######......]  12.5 MiB/s"; without a known total (`total` < 0)
// only the bytes and the speed.
std::string FormatProgress(std::int64_t done, std::int64_t total, double bytesPerSecond);

// "512 B", "1.5 KiB", "3.2 MiB", "1.0 GiB".
std::string FormatBytes(double bytes);

class ProgressBar {
public:
    using Clock = std::chrono::steady_clock;

    explicit ProgressBar(std::FILE* out) : out_(out) {}

    // Starts a transfer of `total` bytes (-1 when unknown) that resumes at `offset`.
    void Start(std::int64_t total, std::int64_t offset);
    void Update(std::int64_t done);
    // Draws the last state and ends the line.
    void Finish(std::int64_t done);
    // Ends a half-drawn bar's line, so that other output (the trace) starts on a line of its own;
    // the next update draws the bar again below it.
    void BreakLine();

private:
    void Draw(std::int64_t done, Clock::time_point now);

    std::FILE* out_;
    std::int64_t total_ = -1;
    std::int64_t offset_ = 0;
    Clock::time_point start_{};
    Clock::time_point lastDraw_{};
    bool active_ = false;
    bool lineOpen_ = false;
};
