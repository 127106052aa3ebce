#pragma once

// Debian's vsftpd (FTP over TLS) and OpenSSH's sshd (SFTP) on loopback for
// the tests, each with a private configuration, certificate and keys made
// here; the machine's own services are never touched.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "tempdir.h"

extern char** environ;

namespace zf::test {

// The standard output of a shell command; throws when it fails.
inline std::string Shell(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
  std::string out;
  char buffer[512];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  if (::pclose(pipe) != 0) throw std::runtime_error("failed: " + command);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

inline int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  ::close(fd);
  return ntohs(a.sin_port);
}

// A daemon of ours, killed and reaped when the object goes.
class Daemon {
 public:
  Daemon() = default;
  ~Daemon() { Stop(); }
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  void Start(std::vector<std::string> args, int port) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
      throw std::runtime_error("cannot start " + args[0]);
    }
    for (int tries = 0; tries < 2000; ++tries) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<std::uint16_t>(port));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
      ::close(fd);
      if (up) return;
      ::usleep(10'000);
    }
    Stop();
    throw std::runtime_error(args[0] + " did not listen");
  }
  // Ends the daemon at once, as a crash would.
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// vsftpd serving `root` + "/in" (writable, so files can be deleted) to the
// anonymous user, TLS required for log-in and data, with a self-signed
// certificate for 127.0.0.1. `implicit`: TLS from the first byte.
class TlsFtpServer {
 public:
  TlsFtpServer(const std::string& root, bool implicit) : port_(FreePort()) {
    const std::string d = dir_.path().string();
    Shell("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + d + "/key.pem -out " + d +
          "/cert.pem -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 2>/dev/null");
    pin_ = "sha256//" + Shell("openssl x509 -in " + d +
                              "/cert.pem -pubkey -noout | openssl pkey -pubin -outform der | "
                              "openssl dgst -sha256 -binary | base64");
    ::mkdir((d + "/empty").c_str(), 0755);
    // vsftpd refuses an anonymous root the anonymous user may write to.
    ::chmod(root.c_str(), 0555);
    WriteFile(d + "/vsftpd.conf",
              "listen=YES\nlisten_address=127.0.0.1\nlisten_port=" + std::to_string(port_) +
                  "\nbackground=NO\nanonymous_enable=YES\nlocal_enable=NO\nanon_root=" + root +
                  "\nno_anon_password=YES\nwrite_enable=YES\nanon_other_write_enable=YES\n"
                  "ssl_enable=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\n"
                  "force_anon_data_ssl=YES\nrequire_ssl_reuse=NO\nimplicit_ssl=" +
                  (implicit ? "YES" : "NO") + "\nrsa_cert_file=" + d +
                  "/cert.pem\nrsa_private_key_file=" + d + "/key.pem\nsecure_chroot_dir=" + d +
                  "/empty\nseccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n");
    daemon_.Start({"/usr/sbin/vsftpd", d + "/vsftpd.conf"}, port_);
  }
  int port() const { return port_; }
  const std::string& pin() const { return pin_; }

 private:
  TempDir dir_;
  int port_;
  std::string pin_;
  Daemon daemon_;
};

// sshd with its own host key, letting root in with a key made here (its
// passphrase: kKeyPassphrase), SFTP served by the daemon itself.
class SftpServer {
 public:
  static constexpr const char* kKeyPassphrase = "key pass phrase";

  SftpServer() : port_(FreePort()) {
    const std::string d = dir_.path().string();
    Shell("ssh-keygen -q -t ecdsa -N '' -m PEM -f " + d + "/hostkey");
    Shell("ssh-keygen -q -t ecdsa -N '" + std::string(kKeyPassphrase) + "' -m PEM -f " + d +
          "/userkey");
    Shell("cp " + d + "/userkey.pub " + d + "/authorized_keys");
    fingerprint_ = Shell("ssh-keygen -lf " + d + "/hostkey.pub -E sha256 | cut -d' ' -f2");
    knownHostsLine_ = "[127.0.0.1]:" + std::to_string(port_) + " " +
                      Shell("cut -d' ' -f1,2 " + d + "/hostkey.pub");
    WriteFile(d + "/sshd_config",
              "ListenAddress 127.0.0.1\nPort " + std::to_string(port_) + "\nHostKey " + d +
                  "/hostkey\nPidFile none\nAuthorizedKeysFile " + d +
                  "/authorized_keys\nPermitRootLogin prohibit-password\n"
                  "PasswordAuthentication no\nKbdInteractiveAuthentication no\nUsePAM no\n"
                  "StrictModes no\nSubsystem sftp internal-sftp\n");
    ::mkdir("/run/sshd", 0755);  // sshd's privilege separation needs it
    daemon_.Start({"/usr/sbin/sshd", "-D", "-f", d + "/sshd_config"}, port_);
  }
  int port() const { return port_; }
  std::string userKey() const { return dir_.path().string() + "/userkey"; }
  const std::string& fingerprint() const { return fingerprint_; }  // "SHA256:..."
  const std::string& knownHostsLine() const { return knownHostsLine_; }

 private:
  TempDir dir_;
  int port_;
  std::string fingerprint_;
  std::string knownHostsLine_;
  Daemon daemon_;
};

}  // namespace zf::test
