// A scripted SOCKS proxy for the socket tests: a plain blocking loopback server on a thread of its
// own that accepts one client and plays a list of byte-level steps (bytes it must receive, bytes
// to send, gates the test opens), for what real proxies do not produce: replies cut byte by byte,
// a reply glued to the destination's first data, every failure code. Every blocking step is
// bounded by a time-out; the first step that fails ends the script and closes the connection, and
// Finish reports it. Build the script and call Start on the test thread, run the client there, then
// call Finish. OpenGate may be called from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

class SocksScriptedPeer {
public:
    SocksScriptedPeer();
    ~SocksScriptedPeer();
    SocksScriptedPeer(const SocksScriptedPeer&) = delete;
    SocksScriptedPeer& operator=(const SocksScriptedPeer&) = delete;

    // The port on 127.0.0.1; it listens from construction on and accepts at the first step.
    std::uint16_t Port() const { return port_; }

    // Reads exactly as many bytes as `bytes` holds; the script fails unless they are equal.
    SocksScriptedPeer& Expect(const std::string& bytes);
    // Sends the bytes in one send.
    SocksScriptedPeer& Send(const std::string& bytes);
    // Sends the bytes one at a time, each only after gate `firstGate` + its index is open, so the
    // test can let the client read every byte on its own before the next one is sent.
    SocksScriptedPeer& SendOneByOne(const std::string& bytes, int firstGate);
    // Reads until the client closes; the bytes are kept (Received) and the step never fails on them.
    SocksScriptedPeer& ExpectClose();
    SocksScriptedPeer& Close();
    SocksScriptedPeer& WaitGate(int gate);
    void OpenGate(int gate);

    // Per-step limit on waiting for the client; the default is 10 s.
    void SetStepTimeout(int milliseconds) { stepTimeoutMs_ = milliseconds; }

    void Start();
    // Waits for the script to end (bounded by the step time-outs) and returns true when every
    // step succeeded; otherwise `failure` names the step and what went wrong.
    bool Finish(std::string& failure);

    // Every byte received from the client, in order (safe after Finish).
    const std::string& Received() const { return received_; }

private:
    struct Step {
        std::string Name;
        std::function<bool(std::string& error)> Run;
    };

    SocksScriptedPeer& Add(std::string name, std::function<bool(std::string& error)> run);
    void RunScript();
    bool EnsureConnection(std::string& error);
    bool WaitReadable(int fd, std::string& error);
    bool SendAll(const std::string& bytes, std::string& error);
    bool WaitForGate(int gate, std::string& error);

    int stepTimeoutMs_ = 10000;
    int listener_ = -1;
    int connection_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::vector<Step> steps_;
    std::string received_;
    std::string failure_;
    std::thread thread_;

    std::mutex gateMutex_;
    std::condition_variable gateChanged_;
    std::set<int> openGates_;
    bool stopping_ = false;
};

// The bytes as hexadecimal pairs, for failure messages.
std::string HexBytes(const std::string& bytes);
