// A scripted FTP server for transcript tests: a plain blocking loopback server on a thread of its
// own that plays a list of steps (bytes to send, commands to expect and record, data-connection
// moves, gates the test opens) against one client. Every blocking step is bounded by a time-out;
// the first step that fails ends the script, closes every connection, and is reported by Finish.
// Build the script, call Start, run the client on the test thread, then call Finish. The builder
// methods and Start are for the test thread before the script runs; OpenGate may be called from
// any thread at any time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

class ScriptedPeer {
public:
    ScriptedPeer();
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // The control port on 127.0.0.1; it listens from construction on.
    std::uint16_t Port() const { return controlPort_; }

    // Sends `line` + CR LF in one send.
    ScriptedPeer& Reply(const std::string& line);
    // Sends bytes exactly as given, in one send.
    ScriptedPeer& Send(const std::string& bytes);
    // Reads one command line (ended by CR LF) and records it; the script fails unless it equals
    // `command`.
    ScriptedPeer& Expect(const std::string& command);
    // As Expect, but only the beginning must match (for PORT, whose port varies).
    ScriptedPeer& ExpectPrefix(const std::string& prefix);
    // Reads until the client closes the control connection; any command meanwhile fails it.
    ScriptedPeer& ExpectClose();
    ScriptedPeer& CloseControl();

    // Opens a listening data port and replies "227 Entering Passive Mode (ADDRESS,p1,p2)." where
    // ADDRESS is the given text ("127,0,0,1" or a foreign one: the client must ignore it).
    ScriptedPeer& OpenPassive(const std::string& addressText = "127,0,0,1");
    // Accepts the client's data connection on the passive port.
    ScriptedPeer& AcceptData();
    // Connects to the data port named by the last PORT command received.
    ScriptedPeer& ConnectData();
    ScriptedPeer& SendData(const std::string& bytes);
    // Reads the data connection until the client closes it, keeping the bytes (DataReceived).
    ScriptedPeer& ReceiveDataUntilClose();
    // Waits until the client has closed its end of the data connection (bytes are discarded).
    ScriptedPeer& WaitDataClosedByClient();
    ScriptedPeer& CloseData();
    // Ends the data stream (shutdown for writing) and waits until the client has closed its end,
    // so the test knows the client saw the end before anything the script sends next.
    ScriptedPeer& EndDataAndWaitClientClose();

    // Waits until the test opens gate `gate` (OpenGate), so the test can order the peer's moves
    // after something the client did.
    ScriptedPeer& WaitGate(int gate);
    void OpenGate(int gate);

    // Runs any function on the peer's thread (for odd moves a test needs once).
    ScriptedPeer& Do(std::function<void(ScriptedPeer&)> step);

    // Per-step limit on waiting for the client; the default is 10 s.
    void SetStepTimeout(int milliseconds) { stepTimeoutMs_ = milliseconds; }

    void Start();
    // Waits for the script to end (bounded by the step time-outs) and returns true when every
    // step succeeded; otherwise `failure` names the step and what went wrong.
    bool Finish(std::string& failure);

    // Every command line received, in order (safe after Finish).
    const std::vector<std::string>& Commands() const { return commands_; }
    const std::string& DataReceived() const { return dataReceived_; }

    // For Do steps: the raw descriptors, -1 when not open.
    int ControlSocket() const { return control_; }
    int DataSocket() const { return data_; }

private:
    struct Step {
        std::string Name;
        std::function<bool(std::string& error)> Run;
    };

    ScriptedPeer& Add(std::string name, std::function<bool(std::string& error)> run);
    void RunScript();
    bool WaitReadable(int fd, std::string& error);
    bool SendAll(int fd, const std::string& bytes, std::string& error);
    bool ReadLine(std::string& line, std::string& error);
    bool AcceptOn(int& listener, int& into, std::string& error);
    void CloseAll();

    int stepTimeoutMs_ = 10000;
    int listener_ = -1;
    int control_ = -1;
    int dataListener_ = -1;
    int data_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::uint16_t controlPort_ = 0;
    std::uint16_t lastPortCommandPort_ = 0;
    std::string controlPending_;
    std::vector<Step> steps_;
    std::vector<std::string> commands_;
    std::string dataReceived_;
    std::string failure_;
    std::thread thread_;

    std::mutex gateMutex_;
    std::condition_variable gateChanged_;
    std::set<int> openGates_;
};
