#pragma once

// Debian's vsftpd (FTP over TLS) and OpenSSH's sshd (SFTP) on loopback, each
// with a private configuration, certificate and keys made here; the machine's
// own services are never touched. Each is killed when its object goes.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>

#include "tempdir.h"

namespace zf::test {

// The standard output of a bash command, without its last line end.
inline std::string Shell(const std::string& command) {
  FILE* pipe = ::popen(("bash -c '" + command + "'").c_str(), "r");
  std::string out;
  char buffer[512];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  if (::pclose(pipe) != 0) throw std::runtime_error("failed: " + command);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// A daemon started in the background on a free port, once it listens there.
class Daemon {
 public:
  ~Daemon() {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
  }
  // `command` holds PORT where the port goes.
  int Start(std::string command) {
    port_ =
        std::stoi(Shell("python3 -c \"import socket; s=socket.socket(); "
                        "s.bind((\\\"127.0.0.1\\\", 0)); print(s.getsockname()[1])\""));
    for (auto at = command.find("PORT"); at != std::string::npos; at = command.find("PORT"))
      command.replace(at, 4, std::to_string(port_));
    command_ = command;
    Restart();
    return port_;
  }
  // Kills the daemon with the sessions it serves, as a crash would, and
  // returns once its port is closed.
  void Kill() {
    KillTree(pid_);
    pid_ = -1;
    Shell("for i in $(seq 2000); do (: >/dev/tcp/127.0.0.1/" + std::to_string(port_) +
          ") 2>/dev/null || break; sleep 0.01; done");
  }
  // Starts it (again) on its port, once it listens there.
  void Restart() {
    pid_ = std::stoi(Shell(command_ +
                           " >/dev/null 2>&1 & echo $!; for i in $(seq 2000); do "
                           "(: >/dev/tcp/127.0.0.1/" +
                           std::to_string(port_) + ") 2>/dev/null && break; sleep 0.01; done"));
  }
  int port() const { return port_; }

 private:
  // Stopped first, so that it forks no new child while its own are taken.
  static void KillTree(int pid) {
    ::kill(pid, SIGSTOP);
    const std::string task = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid);
    std::ifstream children(task + "/children");
    for (int child = 0; children >> child;) KillTree(child);
    ::kill(pid, SIGKILL);
  }

  int pid_ = -1;
  int port_ = 0;
  std::string command_;
};

// vsftpd serving `root`/in to the anonymous user, TLS required for log-in and
// data, with a self-signed certificate for 127.0.0.1; `implicit`: TLS from
// the first byte. `root` must hold "in", writable by all.
class TlsFtpServer : public Daemon {
 public:
  TlsFtpServer(const std::string& root, bool implicit) {
    const std::string d = dir_.path().string();
    Shell("cd " + d + " && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out " +
          "cert.pem -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 2>/dev/null");
    pin_ = "sha256//" + Shell("openssl x509 -in " + d + "/cert.pem -pubkey -noout | openssl pkey " +
                              "-pubin -outform der | openssl dgst -sha256 -binary | base64");
    ::mkdir((d + "/empty").c_str(), 0755);
    ::chmod(root.c_str(), 0555);  // vsftpd refuses an anonymous root it may write
    WriteFile(d + "/conf",
              "listen=YES\nlisten_address=127.0.0.1\nbackground=NO\nanonymous_enable=YES\n"
              "local_enable=NO\nno_anon_password=YES\nwrite_enable=YES\n"
              "anon_other_write_enable=YES\nssl_enable=YES\nallow_anon_ssl=YES\n"
              "force_anon_logins_ssl=YES\nforce_anon_data_ssl=YES\nrequire_ssl_reuse=NO\n"
              "seccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\nanon_root=" +
                  root + "\nimplicit_ssl=" + (implicit ? "YES" : "NO") + "\nrsa_cert_file=" + d +
                  "/cert.pem\nrsa_private_key_file=" + d + "/key.pem\nsecure_chroot_dir=" + d +
                  "/empty\n");
    Start("/usr/sbin/vsftpd -olisten_port=PORT " + d + "/conf");
  }
  const std::string& pin() const { return pin_; }

 private:
  TempDir dir_;
  std::string pin_;
};

// sshd with a host key of its own, letting root in with a key made here
// (passphrase kKeyPassphrase); SFTP served by sshd itself. With
// `rootPassword`, root may log in with it too: sshd then runs in a mount
// namespace of its own where a shadow file made here stands for the
// machine's, which stays untouched.
class SftpServer : public Daemon {
 public:
  static constexpr const char* kKeyPassphrase = "key pass phrase";

  explicit SftpServer(const std::string& rootPassword = {}) {
    const std::string d = dir_.path().string();
    Shell("cd " + d + " && ssh-keygen -q -t ecdsa -N \"\" -m PEM -f hostkey && ssh-keygen -q " +
          "-t ecdsa -N \"" + kKeyPassphrase + "\" -m PEM -f userkey && mkdir -p /run/sshd");
    fingerprint_ = Shell("ssh-keygen -lf " + d + "/hostkey.pub -E sha256 | cut -d\" \" -f2");
    WriteFile(d + "/conf", "ListenAddress 127.0.0.1\nHostKey " + d + "/hostkey\nPidFile none\n" +
                               "AuthorizedKeysFile " + d + "/userkey.pub\nUsePAM no\n" +
                               "PasswordAuthentication " +
                               (rootPassword.empty() ? "no\n" : "yes\nPermitRootLogin yes\n") +
                               "StrictModes no\nSubsystem sftp internal-sftp\n");
    std::string sshd = "/usr/sbin/sshd -D -p PORT -f " + d + "/conf";
    if (!rootPassword.empty()) {
      WriteFile(d + "/shadow", "root:" + Shell("openssl passwd -6 \"" + rootPassword + "\"") +
                                   ":19000:0:99999:7:::\n");
      sshd = "unshare -m sh -c \"mount --bind " + d + "/shadow /etc/shadow && exec " + sshd + "\"";
    }
    Start(sshd);
    knownHostsLine_ = "[127.0.0.1]:" + std::to_string(port()) + " " +
                      Shell("cut -d\" \" -f1,2 " + d + "/hostkey.pub");
  }
  std::string userKey() const { return dir_.path().string() + "/userkey"; }
  const std::string& fingerprint() const { return fingerprint_; }  // "SHA256:..."
  const std::string& knownHostsLine() const { return knownHostsLine_; }

 private:
  TempDir dir_;
  std::string fingerprint_;
  std::string knownHostsLine_;
};

}  // namespace zf::test
