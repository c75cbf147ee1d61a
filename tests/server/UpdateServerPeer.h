// Starts tests/peers/update_server.py on 127.0.0.1 for one test and stops it afterwards.
#ifndef _UpdateServerPeer_H_
#define _UpdateServerPeer_H_

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/server_test_XXXXXX";
        const char *made = mkdtemp(pattern);
        path = made ? made : "";
    }
    ~TempDir() {
        if (!path.empty()) {
            std::string command = "rm -rf '" + path + "'";
            if (system(command.c_str()) != 0) {
            }
        }
    }
    std::string File(const std::string &name) const { return path + "/" + name; }
    void Write(const std::string &name, const std::string &content) const {
        std::ofstream(File(name), std::ios::binary) << content;
    }
    std::string path;
};

inline std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::vector<std::string> ReadLines(const std::string &path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

class UpdateServerPeer {
public:
    // dataJson: the device description; extra: further command-line words of the peer.
    UpdateServerPeer(const TempDir &dir, const std::string &dataJson,
                     const std::vector<std::string> &extra = {})
        : logPath(dir.File("requests.log")) {
        dir.Write("devices.json", dataJson);
        std::vector<std::string> words = {"python3", std::string(PEERS_DIR) + "/update_server.py",
                                          "--data",  dir.File("devices.json"),
                                          "--birds", dir.path,
                                          "--log",   logPath};
        words.insert(words.end(), extra.begin(), extra.end());
        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            std::vector<char *> argv;
            for (auto &w : words)
                argv.push_back(const_cast<char *>(w.c_str()));
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        FILE *out = fdopen(fds[0], "r");
        char line[128];
        if (out && fgets(line, sizeof(line), out))
            sscanf(line, "PORT %d", &port);
        if (out)
            fclose(out);
    }
    ~UpdateServerPeer() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    std::string URL(const char *scheme = "http") const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port) + "/cgi/u";
    }
    std::vector<std::string> Requests() const { return ReadLines(logPath); }

    int port = 0;
    pid_t pid = -1;
    std::string logPath;
};

#endif
