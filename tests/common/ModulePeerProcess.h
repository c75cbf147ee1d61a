// Runs tests/peers/module_peer.py as a child process and talks to its control port.
// Header only, for every test program that needs a module on the other end of a link.
#ifndef _ModulePeerProcess_H_
#define _ModulePeerProcess_H_

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

class ModulePeerProcess {
public:
    struct Options {
        bool tcp = true;
        bool pty = false;
        uint32_t serial = 0x12345678;
        uint8_t address = 6;
        int heartbeatMs = 0;
        bool echo = false;
    };

    ModulePeerProcess() = default;
    ModulePeerProcess(const ModulePeerProcess&) = delete;
    ModulePeerProcess& operator=(const ModulePeerProcess&) = delete;
    ~ModulePeerProcess() { stop(); }

    // Starts the peer and waits (up to 5 s) for its start-up report.
    bool start(const Options& options) {
        char dirTemplate[] = "/tmp/modpeerXXXXXX";
        if (!mkdtemp(dirTemplate))
            return false;
        m_dir = dirTemplate;
        m_rxLog = m_dir + "/rx.log";
        const std::string infoFile = m_dir + "/info";
        const std::string script = std::string(PEERS_DIR) + "/module_peer.py";
        std::vector<std::string> args = {"python3", script,        "--rx-log",
                                         m_rxLog,   "--info-file", infoFile};
        if (options.tcp) {
            args.push_back("--tcp");
            args.push_back("0");
        }
        if (options.pty)
            args.push_back("--pty");
        if (options.echo)
            args.push_back("--echo");
        args.push_back("--serial");
        args.push_back(std::to_string(options.serial));
        args.push_back("--address");
        args.push_back(std::to_string(options.address));
        args.push_back("--heartbeat");
        args.push_back(std::to_string(options.heartbeatMs));
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        // The start-up report is read from the info file; keep the test's output clean.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        int spawned = posix_spawnp(&m_pid, "python3", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            m_pid = 0;
            return false;
        }
        for (int i = 0; i < 500; ++i) {
            std::ifstream in(infoFile);
            if (in) {
                std::string line;
                while (std::getline(in, line)) {
                    auto eq = line.find('=');
                    if (eq == std::string::npos)
                        continue;
                    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
                    if (key == "tcp_port")
                        tcpPort = static_cast<uint16_t>(std::stoi(value));
                    else if (key == "control_port")
                        m_controlPort = static_cast<uint16_t>(std::stoi(value));
                    else if (key == "pty")
                        ptyPath = value;
                }
                return m_controlPort != 0 && connectControl();
            }
            int status;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = 0;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // Ends the peer (quit, then a kill of its own pid after 2 s) and removes its files.
    void stop() {
        if (m_pid > 0) {
            if (m_control >= 0)
                control("quit");
            int status;
            bool ended = false;
            for (int i = 0; i < 200 && !ended; ++i) {
                ended = waitpid(m_pid, &status, WNOHANG) == m_pid;
                if (!ended)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (!ended) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &status, 0);
            }
            m_pid = 0;
        }
        if (m_control >= 0) {
            close(m_control);
            m_control = -1;
        }
        if (!m_dir.empty()) {
            std::remove(m_rxLog.c_str());
            std::remove((m_dir + "/info").c_str());
            rmdir(m_dir.c_str());
            m_dir.clear();
        }
    }

    // Sends one control line and returns the answer line ("OK ..." or "ERR ...").
    std::string control(const std::string& line) {
        if (m_control < 0)
            return "ERR no control connection";
        std::string out = line + "\n";
        if (send(m_control, out.data(), out.size(), MSG_NOSIGNAL) != (ssize_t)out.size())
            return "ERR send";
        std::string answer;
        char c;
        while (recv(m_control, &c, 1, 0) == 1) {
            if (c == '\n')
                return answer;
            answer += c;
        }
        return "ERR closed";
    }
    bool ok(const std::string& line) { return control(line).rfind("OK", 0) == 0; }

    // The counters of the "status" command.
    std::map<std::string, long> status() {
        std::map<std::string, long> result;
        std::istringstream words(control("status"));
        std::string word;
        while (words >> word) {
            auto eq = word.find('=');
            if (eq != std::string::npos)
                result[word.substr(0, eq)] = std::stol(word.substr(eq + 1));
        }
        return result;
    }

    // Every packet received so far, one line of hex bytes each ("AD 00").
    std::vector<std::string> rxLog() const {
        std::vector<std::string> lines;
        std::ifstream in(m_rxLog);
        std::string line;
        while (std::getline(in, line))
            lines.push_back(line);
        return lines;
    }

    uint16_t tcpPort = 0;
    std::string ptyPath;

private:
    bool connectControl() {
        m_control = socket(AF_INET, SOCK_STREAM, 0);
        if (m_control < 0)
            return false;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(m_controlPort);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(m_control, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(m_control);
            m_control = -1;
            return false;
        }
        int one = 1;
        setsockopt(m_control, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return true;
    }

    pid_t m_pid = 0;
    int m_control = -1;
    uint16_t m_controlPort = 0;
    std::string m_dir;
    std::string m_rxLog;
};

#endif
