#pragma once

// A real FTP server on loopback for the tests: tests/ftp/ftpserver.py over
// Debian's pyftpdlib, run with Debian's own Python. It ends when the object
// goes (or when the test process dies, as its standard input closes then).

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/queuetable.h"
#include "tempdir.h"

extern char** environ;

namespace zf::test {

class FtpTestServer {
 public:
  struct Options {
    std::string root;  // the folder served as the user's home
    std::string host = "127.0.0.1";
    int port = 0;  // 0: a free one
    std::string user = "zf";
    std::string password = "secret";
    bool listOnly = false;    // no MLSD/MLST
    bool refuseMlsd = false;  // MLST announced, MLSD refused
    int throttle = 0;         // bytes per second sent (1: a trickle), 0: no limit
    long cutAfter = 0;        // the server ends once a download has sent this many bytes
    std::string perm;         // pyftpdlib permission letters; empty: all
    std::vector<std::string> refuseRetr;  // names whose RETR is answered with 550
    std::vector<std::string> refuseDele;  // names whose DELE is answered with 550
    std::string faults;    // a JSON file of fault rules, read at every command (ftpserver.py)
    std::string certfile;  // PEM certificate and key: explicit TLS required
  };

  explicit FtpTestServer(Options options) : options_(std::move(options)) { Start(); }
  ~FtpTestServer() { Stop(); }
  FtpTestServer(const FtpTestServer&) = delete;
  FtpTestServer& operator=(const FtpTestServer&) = delete;

  int port() const { return port_; }
  const Options& options() const { return options_; }

  // Every command line the server received, the password masked, with
  // "CONNECT" for each new control connection.
  std::vector<std::string> Commands() const {
    std::vector<std::string> lines;
    std::string text;
    try {
      text = ReadFile(logPath_);
    } catch (...) {
      return lines;
    }
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      lines.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    return lines;
  }
  // How many commands start with `prefix` ("CONNECT", "RETR", "PORT", ...).
  int Count(const std::string& prefix) const {
    const auto lines = Commands();
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.compare(0, prefix.size(), prefix) == 0;
    }));
  }
  void ClearLog() const { WriteFile(logPath_, ""); }

  // Kills the server at once, as a crash would.
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    Reap(true);
  }
  bool Running() { return pid_ > 0 && !Reap(false); }
  // Waits up to `ms` milliseconds for the server to end on its own (one that
  // cuts a download off); true when it has.
  bool Ended(int ms = 5000) {
    for (int waited = 0; pid_ > 0 && !Reap(false); waited += 10) {
      if (waited >= ms) return false;
      ::usleep(10'000);
    }
    return true;
  }

 private:
  void Start() {
    const char* source = std::getenv("ZF_SOURCE_DIR");
    if (source == nullptr) throw std::runtime_error("ZF_SOURCE_DIR is not set");
    logPath_ = logDir_ / "commands.log";
    WriteFile(logPath_, "");
    std::vector<std::string> args = {"/usr/bin/python3",
                                     std::string(source) + "/tests/ftp/ftpserver.py",
                                     "--root",
                                     options_.root,
                                     "--host",
                                     options_.host,
                                     "--port",
                                     std::to_string(options_.port),
                                     "--user",
                                     options_.user,
                                     "--password",
                                     options_.password,
                                     "--log",
                                     logPath_};
    if (options_.listOnly) args.push_back("--list-only");
    if (options_.refuseMlsd) args.push_back("--refuse-mlsd");
    if (options_.throttle > 0) {
      args.push_back("--throttle");
      args.push_back(std::to_string(options_.throttle));
    }
    if (options_.cutAfter > 0) {
      args.push_back("--cut-after");
      args.push_back(std::to_string(options_.cutAfter));
    }
    for (const std::string& name : options_.refuseRetr) {
      args.push_back("--refuse-retr");
      args.push_back(name);
    }
    for (const std::string& name : options_.refuseDele) {
      args.push_back("--refuse-dele");
      args.push_back(name);
    }
    if (!options_.faults.empty()) {
      args.push_back("--faults");
      args.push_back(options_.faults);
    }
    if (!options_.certfile.empty()) {
      args.push_back("--certfile");
      args.push_back(options_.certfile);
    }
    if (!options_.perm.empty()) {
      args.push_back("--perm");
      args.push_back(options_.perm);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    if (rc != 0) {
      ::close(out[0]);
      pid_ = -1;
      throw std::runtime_error("unable to start the FTP test server");
    }
    // "PORT <n>" once it listens.
    std::string line;
    pollfd p{out[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && ::poll(&p, 1, 20000) > 0) {
      char buffer[256];
      const ssize_t n = ::read(out[0], buffer, sizeof buffer);
      if (n <= 0) break;
      line.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    if (line.rfind("PORT ", 0) != 0) {
      Stop();
      throw std::runtime_error("the FTP test server did not start: " + line);
    }
    port_ = std::stoi(line.substr(5));
  }

  // True when the server has ended (and is reaped).
  bool Reap(bool wait) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, wait ? 0 : WNOHANG);
    if (r == pid_ || r < 0) {
      pid_ = -1;
      if (stdin_ >= 0) ::close(stdin_);
      stdin_ = -1;
      return true;
    }
    return false;
  }

  Options options_;
  TempDir logDir_;
  std::string logPath_;
  pid_t pid_ = -1;
  int stdin_ = -1;
  int port_ = 0;
};

// A port on 127.0.0.1 that accepts connections (the kernel completes them)
// and never says a word: an FTP server that never greets.
class SilentServer {
 public:
  SilentServer() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (fd_ < 0) throw std::runtime_error("no socket for the silent server");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_, 8) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ::close(fd_);
      throw std::runtime_error("the silent server cannot listen");
    }
    port_ = ntohs(address.sin_port);
  }
  ~SilentServer() { ::close(fd_); }
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;

  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

// An FTP queue as the configuration dialog shows it, for the server on
// `port` (user "zf"): folder "/in", search mask "*.pdf".
inline QueueRecord ShownFtpQueue(int port, const std::string& password) {
  QueueRecord q;
  q.FTPuse = true;
  q.FTPhost = "127.0.0.1";
  q.FTPPort = port;
  q.FTPuser = "zf";
  q.FTPpasw = password;
  q.FTPpath = "/in";
  q.Searchmask = "*.pdf";
  return q;
}

}  // namespace zf::test
