// Fetching 200 files of 256 KiB from an FTP server on loopback:
//  - "session": our client, one connection, one Retrieve per file, each file
//    flushed to the disk before it takes its name (as the intake does), and
//    once unflushed;
//  - "intake": a whole FTP pass of the engine (two listings, the fetches with
//    their flushes, a deletion per file);
// each against the curl command-line tool fetching the same files in one
// invocation (one connection, active mode, no flush), measured in the same
// run;
//  - "<protocol>, fetch+delete": plain FTP (the server above), FTP with
//    explicit and implicit TLS (vsftpd) and SFTP (sshd): our client, each file
//    flushed to the disk before the server's copy is deleted, against curl
//    fetching the same files with the same protocol. The server counts its
//    connections, so a client that did not reuse
// its connection shows in the "connections" column.
//
// The folder is ZF_BENCH_DIR when set, else the system's temporary folder.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/renamethread.h"
#include "ftp/ftpsession.h"
#include "ftp/ftpstages.h"
#include "secureservers.h"

extern char** environ;

namespace {

using namespace zf;
namespace fs = std::filesystem;

constexpr int kFiles = 200;
constexpr std::size_t kFileSize = 256 * 1024;
constexpr const char* kPassword = "bench-secret";

fs::path BenchFolder() {
  const char* base = std::getenv("ZF_BENCH_DIR");
  std::string tmpl =
      ((base != nullptr ? fs::path(base) : fs::temp_directory_path()) / "zfbench-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) std::abort();
  return tmpl;
}

std::string FileName(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "page%03d.pdf", i);
  return name;
}

void WriteAll(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) std::abort();
}

int CountLines(const fs::path& path, const std::string& prefix) {
  std::ifstream in(path);
  std::string line;
  int n = 0;
  while (std::getline(in, line)) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

// Runs a program to its end; false when it could not run or failed.
bool Run(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The loopback test server of tests/ftp, for the whole run.
class Server {
 public:
  explicit Server(const fs::path& root) : log_(root.parent_path() / "commands.log") {
    std::vector<std::string> args = {"/usr/bin/python3",
                                     std::string(ZF_SOURCE_DIR) + "/tests/ftp/ftpserver.py",
                                     "--root",
                                     root.string(),
                                     "--password",
                                     kPassword,
                                     "--log",
                                     log_.string()};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) std::abort();
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    std::string line;
    pollfd p{out[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && ::poll(&p, 1, 20000) > 0) {
      char buffer[64];
      const ssize_t n = ::read(out[0], buffer, sizeof buffer);
      if (n <= 0) break;
      line.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    if (line.rfind("PORT ", 0) != 0) {
      std::fprintf(stderr, "the FTP server did not start\n");
      std::exit(1);
    }
    port_ = std::stoi(line.substr(5));
  }
  ~Server() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    ::close(stdin_);
  }
  int port() const { return port_; }
  int Connections() const { return CountLines(log_, "CONNECT"); }

 private:
  fs::path log_;
  pid_t pid_ = -1;
  int stdin_ = -1;
  int port_ = 0;
};

class Host final : public EngineHost {
 public:
  bool SwitchedOn() override { return true; }
  int BrowseTime() override { return 1; }
  int StableTime() override { return 1; }
  QueueTable& Queues() override { return table; }
  void CycleProgress(int) override {}
  void CycleProgressFull() override {}
  void QueueIconChanged(int, QueueIcon) override {}
  void RefreshQueueList() override {}
  void FtpProgress(int) override {}
  QueueTable table;
};

class NoWaitClock final : public Clock {
 public:
  TDateTime Now() override { return EncodeDateTime(2025, 12, 8, 14, 5, 12); }
  void SleepMs(int) override {}
};

struct Setup {
  fs::path folder = BenchFolder();
  fs::path served = folder / "served";
  fs::path in = served / "in";
  std::string content = std::string(kFileSize, 'x');
  std::unique_ptr<Server> server;

  Setup() {
    fs::create_directories(in);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 131 % 251);
    Fill();
    server = std::make_unique<Server>(served);
  }
  ~Setup() {
    server.reset();
    fs::remove_all(folder);
  }
  void Fill() const {
    for (int i = 0; i < kFiles; ++i) WriteAll(in / FileName(i), content);
  }
  fs::path FreshTarget(const std::string& name) const {
    const fs::path target = folder / name;
    fs::remove_all(target);
    fs::create_directories(target);
    return target;
  }
  bool Complete(const fs::path& target) const {
    for (int i = 0; i < kFiles; ++i) {
      std::error_code ec;
      if (fs::file_size(target / FileName(i), ec) != kFileSize) return false;
    }
    return true;
  }
};

Setup& Shared() {
  static Setup setup;
  return setup;
}

struct Figure {
  double seconds = 0;
  double curl = 0;
  int connections = 0;
};
std::map<std::string, Figure> figures;

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// curl fetching every file named under `base` in one invocation, after the
// options in `header`; its time, or an error on `state`.
double TimeCurl(benchmark::State& state, const std::string& header, const std::string& base) {
  Setup& s = Shared();
  const fs::path target = s.FreshTarget("curl");
  const fs::path config = s.folder / "curl.config";
  std::ofstream cfg(config, std::ios::trunc);
  cfg << "silent\nshow-error\n" << header;
  for (int i = 0; i < kFiles; ++i) {
    cfg << "url = \"" << base << FileName(i) << "\"\noutput = \"" << (target / FileName(i)).string()
        << "\"\n";
  }
  cfg.close();
  const auto start = std::chrono::steady_clock::now();
  if (!Run({"curl", "-K", config.string()})) state.SkipWithError("curl failed or is missing");
  const double seconds = Seconds(start);
  if (!s.Complete(target)) state.SkipWithError("curl fetched incomplete files");
  return seconds;
}

// curl fetching all files, active mode as our default; the log-in goes
// through a config file, never the command line.
double CurlSeconds(benchmark::State& state) {
  return TimeCurl(state,
                  "ftp-port = \"-\"\ndisable-eprt\nuser = \"zf:" + std::string(kPassword) + "\"\n",
                  "ftp://127.0.0.1:" + std::to_string(Shared().server->port()) + "/in/");
}

// Every run's figures by key, for the medians printed at the end.
std::map<std::string, std::vector<Figure>> runs;

void Record(const std::string& key, const Figure& f, benchmark::State& state) {
  Figure kept = f;
  if (const auto it = figures.find(key); it != figures.end()) {
    kept.seconds = std::min(kept.seconds, it->second.seconds);
    kept.curl = std::min(kept.curl, it->second.curl);
    kept.connections = std::max(kept.connections, it->second.connections);
  }
  figures[key] = kept;
  runs[key].push_back(f);
  state.counters["ms"] = f.seconds * 1e3;
  state.counters["curl_ms"] = f.curl * 1e3;
  state.counters["x_curl"] = f.seconds / f.curl;
  state.counters["connections"] = f.connections;
}

void BM_SessionFetch(benchmark::State& state) {
  Setup& s = Shared();
  const bool flush = state.range(0) != 0;
  for (auto _ : state) {
    Figure f;
    f.curl = CurlSeconds(state);
    const fs::path target = s.FreshTarget("session");
    const int before = s.server->Connections();
    const auto start = std::chrono::steady_clock::now();
    FtpSession session(FtpLimits{60, 60, flush});
    session.SetLogin("127.0.0.1", s.server->port(), "zf", kPassword);
    if (!session.Connect().ok() || !session.ChangeDir("in").ok()) {
      state.SkipWithError("unable to connect");
      break;
    }
    for (int i = 0; i < kFiles; ++i) {
      const std::string name = FileName(i);
      if (!session.Retrieve(name, (target / name).string(), kFileSize).ok()) {
        state.SkipWithError("a fetch failed");
        break;
      }
    }
    f.seconds = Seconds(start);
    f.connections = s.server->Connections() - before;
    if (!s.Complete(target)) state.SkipWithError("incomplete files");
    Record(flush ? "session, flushed" : "session, unflushed", f, state);
  }
  state.SetLabel(flush ? "flushed" : "unflushed");
}

void BM_IntakePass(benchmark::State& state) {
  Setup& s = Shared();
  for (auto _ : state) {
    Figure f;
    f.curl = CurlSeconds(state);
    const fs::path target = s.FreshTarget("intake");
    Host host;
    MakeFtpSessions(host.table);
    const fs::path out = s.FreshTarget("out");
    host.table.Append([&](QueueRecord& q) {
      q.name = "Bench";
      q.Outputfolder = out.string();
      q.Searchmask = "*.*";
      q.ignoremask = "none";
      q.Enabled = true;
      q.FTPuse = true;
      q.FTPhost = "127.0.0.1";
      q.FTPPort = s.server->port();
      q.FTPuser = "zf";
      q.FTPpasw = kPassword;
      q.FTPpath = "in";
      q.FTPTemppath = target.string();
    });
    SystemFileAccess files;
    NoWaitClock clock;
    FtpStages ftp([] { return -1; });
    Trenamethread engine(EngineServices{host, files, clock, nullptr, &ftp},
                         std::make_shared<EngineControl>());
    const int before = s.server->Connections();
    const auto start = std::chrono::steady_clock::now();
    if (const Status passed = engine.ProcessQueue(1); !passed.ok()) {
      state.SkipWithError(("the pass failed: " + passed.message()).c_str());
    }
    f.seconds = Seconds(start);
    f.connections = s.server->Connections() - before;
    // The queue fetches into its own folder under FTPTemppath.
    if (!s.Complete(target / "Bench") || !fs::is_empty(s.in))
      state.SkipWithError("not all fetched");
    if (state.error_occurred()) break;
    Record("intake pass", f, state);
    state.PauseTiming();
    s.Fill();  // the pass deleted them on the server
    state.ResumeTiming();
  }
}

// The secure servers of the tests, each serving the same folder, for the
// whole run.
struct SecureSetup {
  zf::test::TempDir remote;
  fs::path in = remote.path() / "in";
  std::string content = Shared().content;
  std::unique_ptr<zf::test::TlsFtpServer> explicitTls, implicitTls;
  std::unique_ptr<zf::test::SftpServer> sftp;

  SecureSetup() {
    fs::create_directories(in);
    fs::permissions(in, fs::perms::all);  // the anonymous FTP user deletes there
    Fill();
    explicitTls = std::make_unique<zf::test::TlsFtpServer>(remote.path().string(), false);
    implicitTls = std::make_unique<zf::test::TlsFtpServer>(remote.path().string(), true);
    sftp = std::make_unique<zf::test::SftpServer>();
  }
  void Fill() const {
    for (int i = 0; i < kFiles; ++i) {
      WriteAll(in / FileName(i), content);
      fs::permissions(in / FileName(i), fs::perms::all & ~fs::perms::owner_exec);
    }
  }
};

SecureSetup& Secure() {
  static SecureSetup setup;
  return setup;
}

// curl fetching all files in one invocation with `protocol`, the server
// known by the same key as ours.
double SecureCurlSeconds(benchmark::State& state, std::int32_t protocol) {
  SecureSetup& secure = Secure();
  std::ostringstream header;
  std::string base;
  if (protocol == kFtpSftp) {
    const std::string fingerprint = secure.sftp->fingerprint();
    header << "user = \"root:\"\nkey = \"" << secure.sftp->userKey() << "\"\npass = \""
           << zf::test::SftpServer::kKeyPassphrase << "\"\nhostpubsha256 = \""
           << fingerprint.substr(fingerprint.find(':') + 1) << "\"\n";
    base = "sftp://127.0.0.1:" + std::to_string(secure.sftp->port()) + secure.in.string() + "/";
  } else {
    const zf::test::TlsFtpServer& server =
        protocol == kFtpImplicitTls ? *secure.implicitTls : *secure.explicitTls;
    header << "user = \"anonymous:\"\nssl-reqd\ninsecure\npinnedpubkey = \"" << server.pin()
           << "\"\n";
    base = (protocol == kFtpImplicitTls ? "ftps://" : "ftp://") + std::string("127.0.0.1:") +
           std::to_string(server.port()) + "/in/";
  }
  return TimeCurl(state, header.str(), base);
}

void BM_SecureFetch(benchmark::State& state) {
  Setup& s = Shared();
  SecureSetup& secure = Secure();
  const auto protocol = static_cast<std::int32_t>(state.range(0));
  const fs::path in = protocol == kFtpPlain ? s.in : secure.in;
  for (auto _ : state) {
    Figure f;
    f.curl = protocol == kFtpPlain ? CurlSeconds(state) : SecureCurlSeconds(state, protocol);
    const fs::path target = s.FreshTarget("secure");
    const auto start = std::chrono::steady_clock::now();
    FtpSession session(FtpLimits{60, 60, true});
    FtpSecurity security;
    security.protocol = protocol;
    if (protocol == kFtpPlain) {
      session.SetLogin("127.0.0.1", s.server->port(), "zf", kPassword);
    } else if (protocol == kFtpSftp) {
      const std::string fingerprint = secure.sftp->fingerprint();
      security.fingerprint = fingerprint.substr(fingerprint.find(':') + 1);
      security.keyFile = secure.sftp->userKey();
      session.SetLogin("127.0.0.1", secure.sftp->port(), "root",
                       zf::test::SftpServer::kKeyPassphrase);
    } else {
      const zf::test::TlsFtpServer& server =
          protocol == kFtpImplicitTls ? *secure.implicitTls : *secure.explicitTls;
      security.fingerprint = server.pin();
      session.SetLogin("127.0.0.1", server.port(), "anonymous", "");
    }
    session.SetSecurity(security);
    if (!session.Connect().ok() ||
        !session.ChangeDir(protocol == kFtpSftp ? secure.in.string() : "in").ok()) {
      state.SkipWithError(("unable to connect: " + session.failure()).c_str());
      break;
    }
    // Durable before the server's copy goes, as the intake does.
    for (int i = 0; i < kFiles; ++i) {
      const std::string name = FileName(i);
      if (!session.Retrieve(name, (target / name).string(), kFileSize).ok() ||
          !session.Delete(name).ok()) {
        state.SkipWithError(("a fetch failed: " + session.failure()).c_str());
        break;
      }
    }
    f.seconds = Seconds(start);
    if (!s.Complete(target) || !fs::is_empty(in)) state.SkipWithError("not all fetched");
    if (state.error_occurred()) break;
    Record(FtpProtocolName(protocol) + ", fetch+delete", f, state);
    state.PauseTiming();
    protocol == kFtpPlain ? s.Fill() : secure.Fill();
    state.ResumeTiming();
  }
  state.SetLabel(FtpProtocolName(protocol));
}

BENCHMARK(BM_SessionFetch)
    ->Arg(1)
    ->Arg(0)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_IntakePass)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SecureFetch)
    ->Arg(kFtpPlain)
    ->Arg(kFtpExplicitTls)
    ->Arg(kFtpImplicitTls)
    ->Arg(kFtpSftp)
    ->Iterations(2)  // a TLS data connection per file: minutes per run on a busy machine
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::printf("\n%d files of %zu KiB, best of the runs\n", kFiles, kFileSize / 1024);
  std::printf("%-20s %10s %10s %8s %12s\n", "what", "ms", "curl_ms", "x_curl", "connections");
  for (const auto& [key, f] : figures) {
    std::printf("%-20s %10.1f %10.1f %8.2f %12d\n", key.c_str(), f.seconds * 1e3, f.curl * 1e3,
                f.seconds / f.curl, f.connections);
  }
  // Medians: of each time, and of the ratio of each run to the curl run
  // measured right before it.
  const auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty()      ? 0.0
           : v.size() % 2 ? v[v.size() / 2]
                          : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  };
  std::printf("\n%d files of %zu KiB, medians of the runs\n", kFiles, kFileSize / 1024);
  std::printf("%-20s %10s %10s %8s\n", "what", "ms", "curl_ms", "x_curl");
  for (const auto& [key, list] : runs) {
    std::vector<double> ms, curlMs, ratio;
    for (const Figure& f : list) {
      ms.push_back(f.seconds * 1e3);
      curlMs.push_back(f.curl * 1e3);
      ratio.push_back(f.seconds / f.curl);
    }
    std::printf("%-20s %10.1f %10.1f %8.2f\n", key.c_str(), median(ms), median(curlMs),
                median(ratio));
  }
  return 0;
}
