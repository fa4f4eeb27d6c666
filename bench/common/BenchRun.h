// What the benchmarks that pit our programs against their peers share: running a client program
// bounded in time and measuring it from outside (wall, processor time user + system, peak resident
// memory), a check run whose output is compared byte for byte, counted rounds in which the clients
// take turns (the order rotating every round), and the report: minimum, median and maximum per
// client, and each figure of the first client as a ratio to the best peer of the same run, both
// as the ratio of the medians and as the spread of the ratios of each round. A run that passes its
// limit is killed and shown as stalled; a run slower than twice its client's median is marked.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace bench {

// Fewer counted runs than this make a trial, not a result.
constexpr int kMinCountedRuns = 7;

struct Sample {
    double WallSeconds = 0;
    double CpuSeconds = 0;
    double PeakMiB = 0;
    int Status = -1;
    bool Stalled = false;  // killed at its time limit
};

// Takes what a client writes to its standard output. Drain is called whenever the pipe is
// readable and returns false at its end.
class OutputSink {
public:
    virtual ~OutputSink() = default;
    virtual bool Drain(int fd) = 0;
};

// Counts the bytes and throws them away, without copying them into this process where the system
// allows, so the reader costs every client the same little.
class CountingSink : public OutputSink {
public:
    CountingSink();
    ~CountingSink() override;
    bool Drain(int fd) override;
    std::int64_t Bytes() const { return bytes_; }

private:
    int null_;
    bool useSplice_ = true;
    std::int64_t bytes_ = 0;
    std::vector<char> buffer_;
};

// Compares the stream with a file as it arrives.
class ComparingSink : public OutputSink {
public:
    explicit ComparingSink(const std::string& expected);
    bool Drain(int fd) override;
    bool Same() const { return same_; }

private:
    std::ifstream expected_;
    bool same_ = true;
    std::vector<char> got_, want_;
};

using Argv = std::vector<std::string>;

// Runs argv in a process group of its own, its output going to `sink` (or nowhere), bounded to
// `limitSeconds` (then the whole group is killed), and measures it.
Sample Measure(const Argv& argv, int limitSeconds, OutputSink* sink);

double Median(std::vector<double> values);
struct Spread {
    double Min = 0, Median = 0, Max = 0;
};
Spread SpreadOf(const std::vector<double>& values);

// For a machine others are using: the niceness (when not 0) or the first-in-first-out real-time
// class for this process and everything it starts from now on, the server included, so the
// others' work decides the figures less; every client gets the same. The system still leaves
// the others a twentieth of the processors. Returns how the runs go, for the report's heading.
std::string RaisePriority(int niceness, bool realtime);

// The options every FTP benchmark takes: --runs N, --nice N, --realtime.
struct CommonOptions {
    int Runs = kMinCountedRuns;
    int Niceness = 0;
    bool Realtime = false;
};
// Takes argv[i], and its value after it, when it is one of the common options.
bool TakeCommonOption(int argc, char** argv, int& i, CommonOptions& options);

bool SameFiles(const std::string& a, const std::string& b);
bool Executable(const std::string& path);

struct Client {
    // The programs one run of the client is made of, run one after the other; their walls and
    // processor times add up, their peaks do not. `out` is the file or folder to write to
    // (ignored when the output is standard output).
    using Builder = std::function<std::vector<Argv>(const std::string& out)>;
    Client(std::string name, Builder commands) : Name(std::move(name)), Commands(std::move(commands)) {}

    std::string Name;
    Builder Commands;
    bool Good = true;                           // passed the check run
    std::vector<std::optional<Sample>> Rounds;  // by counted round; empty where the run failed
    std::vector<std::string> Notes;
};

// How one case is run and checked.
struct Case {
    std::string Title;
    std::string Out;                          // the file or folder the clients write to
    bool ToPipe = false;                      // output goes to standard output instead
    std::string PipeExpected;                 // the file standard output must equal
    std::int64_t PipeBytes = 0;               // and its length, checked on every counted run
    std::function<void()> Clean;              // before every run
    std::function<bool(std::string&)> Check;  // after the check run: content, else why not
    std::function<bool(std::string&)> Quick;  // after a counted run: the lengths only
};

// Writes `size` bytes of a fixed pseudo-random pattern, no two blocks and no two sizes alike.
void WritePattern(const std::string& path, std::int64_t size);

// The case of one file of `bytes` fetched to `out`: checked against `served` once, by length
// after every counted run.
Case FileCase(const std::string& title, const std::string& out, const std::string& served, std::int64_t bytes);

// One line for one run of a client, with what was wrong with it when `problem` says so.
void PrintRun(const char* label, int round, const Client& client, const Sample& sample, const std::string& problem);

// The check run, then `runs` counted rounds. The first client is ours, the others its peers.
void RunCase(Case& job, std::vector<Client>& clients, int runs);

using Field = double Sample::*;
struct Target {
    const char* Figure;
    Field What;
    double AtMost;  // as a ratio to the best peer
};

// Prints the table and the ratios; false when a target is missed (peakLimitMiB > 0 is a bound on
// the first client's largest peak).
bool Report(const std::vector<Client>& clients, const std::vector<Target>& targets, double peakLimitMiB);

}  // namespace bench
