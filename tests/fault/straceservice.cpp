#include "straceservice.h"

#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "config/queuefile.h"
#include "serviceconfig.h"

namespace zf::fault {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char* const kWritePathCalls =
    "openat,read,write,pwrite64,copy_file_range,fsync,fdatasync,sync_file_range,syncfs,"
    "rename,renameat,renameat2,link,linkat,unlink,unlinkat,close,utimensat,ftruncate,"
    "fallocate,mkdir,mkdirat,rmdir";

namespace {

constexpr auto kStartDeadline = 30s;

// ptrace keeps LeakSanitizer from working: a traced service would fail at its
// exit for that alone.
std::vector<std::string> UntracedLeakCheck(const std::vector<std::string>& env,
                                           const std::vector<std::string>& args) {
  const char* asan = std::getenv("ASAN_OPTIONS");
  std::vector<std::string> all{std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
                               (asan != nullptr && *asan != '\0' ? ":" : "") + "detect_leaks=0"};
  all.insert(all.end(), env.begin(), env.end());
  all.push_back(test::ProgramPath());
  all.insert(all.end(), args.begin(), args.end());
  return all;
}

std::vector<pid_t> Threads(pid_t pid) {
  std::vector<pid_t> tids;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    tids.push_back(static_cast<pid_t>(std::stol(e.path().filename().string())));
  }
  std::sort(tids.begin(), tids.end());
  return tids;
}

// The thread the engine's worker runs in (it names itself), or 0.
pid_t WorkerOf(pid_t pid) {
  for (const pid_t tid : Threads(pid)) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/comm");
    std::string name;
    if (std::getline(in, name) && name == "zf-worker") return tid;
  }
  return 0;
}

pid_t TracerOf(pid_t pid, pid_t tid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("TracerPid:", 0) == 0) return static_cast<pid_t>(std::stol(line.substr(10)));
  }
  return 0;
}

// The child of `parent` running `program`. strace forks short-lived children
// of its own first, to learn what the kernel's ptrace offers.
pid_t ChildRunning(pid_t parent, const std::string& program) {
  std::ifstream in("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) +
                   "/children");
  std::error_code ec;
  for (pid_t child; in >> child;) {
    if (fs::read_symlink("/proc/" + std::to_string(child) + "/exe", ec) ==
        fs::weakly_canonical(program, ec)) {
      return child;
    }
  }
  return -1;
}

int CountOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
  return n;
}

}  // namespace

std::string TracedCall::Signature() const {
  // Paths appear quoted ("...") or after a descriptor (3</...>); only those
  // under the scenario's folder say which step this is.
  static const std::regex path(R"re(("(/[^"]*)")|(<(/[^>]*)>))re");
  static const std::regex temp(R"(\.zf-[0-9a-f]{16}-)");
  std::string sig = name;
  const std::string args = line.substr(0, line.rfind(") = "));
  for (std::sregex_iterator it(args.begin(), args.end(), path), end; it != end; ++it) {
    std::string p = (*it)[2].matched ? (*it)[2].str() : (*it)[4].str();
    if (p.find("/zftest-") == std::string::npos) continue;
    p = std::regex_replace(p, std::regex(R"(^.*/zftest-[^/]+)"), "<root>");
    // Archived log names carry the minute of their renewal.
    static const std::regex stamp(R"(\d{8,})");
    sig += " " + std::regex_replace(std::regex_replace(p, temp, ".zf-X-"), stamp, "<time>");
  }
  return sig;
}

std::vector<const TracedCall*> Trace::Ours(const std::string& name) const {
  std::vector<const TracedCall*> found;
  for (const TracedCall& c : calls) {
    if (c.name == name && c.ours) found.push_back(&c);
  }
  return found;
}

const TracedCall* Trace::Find(const std::string& name, int ordinal) const {
  for (const TracedCall& c : calls) {
    if (c.name == name && c.ordinal == ordinal) return &c;
  }
  return nullptr;
}

Trace ReadTrace(const std::string& file, const std::string& root) {
  Trace trace;
  std::ifstream in(file);
  std::map<std::string, int> counts;
  std::string line;
  static const std::regex call(R"(^([a-z_0-9]+)\()");
  while (std::getline(in, line)) {
    if (line.rfind("+++ killed by SIGKILL", 0) == 0) trace.killed = true;
    std::smatch m;
    if (!std::regex_search(line, m, call)) continue;
    TracedCall c;
    c.name = m[1];
    c.ordinal = ++counts[c.name];
    c.line = line;
    c.ours = line.find(root + "/") != std::string::npos;
    trace.calls.push_back(std::move(c));
  }
  return trace;
}

std::string ServiceBench::Folder(const std::string& name) {
  fs::create_directories(dir_.path() / name);
  return dir_ / name;
}

std::string ServiceBench::QueueFile() {
  return ConfigDir() + "/" + QueueConfigFile::kFileName;
}

void ServiceBench::Configure(const std::vector<QueueRecord>& queues,
                             const GeneralSettings& settings) {
  queues_ = static_cast<int>(queues.size());
  test::WriteConfiguration(ConfigDir(), queues, settings);
}

std::vector<std::string> ServiceBench::Args() {
  return {"--headless", "--verbose", "--config-dir", ConfigDir()};
}

int PassesDone(const std::string& err) {
  return std::max(0, CountOf(err, "zentrafold: pass over ") - 1);
}

TracedService::TracedService(ServiceBench& bench, Traced traced, const std::string& inject,
                             const std::vector<std::string>& env,
                             const std::vector<std::string>& options)
    : root_(bench.root()), traceFile_(bench.root() + "/strace.out") {
  std::vector<std::string> straceArgs{"-qq",      "-y", "-o",
                                      traceFile_, "-e", std::string("trace=") + kWritePathCalls};
  straceArgs.insert(straceArgs.end(), options.begin(), options.end());
  if (!inject.empty()) {
    straceArgs.push_back("-e");
    straceArgs.push_back("inject=" + inject);
  }
  const std::vector<std::string> service = UntracedLeakCheck(env, bench.Args());
  if (traced == Traced::kStartUp) {
    straceArgs.push_back("/usr/bin/env");
    straceArgs.insert(straceArgs.end(), service.begin(), service.end());
    strace_ = std::make_unique<test::ProgramRun>(straceArgs, "/usr/bin/strace");
    test::WaitUntil(
        [&] { return (servicePid_ = ChildRunning(strace_->pid(), test::ProgramPath())) > 0; },
        kStartDeadline, 1ms);
    attached_ = servicePid_ > 0;
    return;
  }
  service_ = std::make_unique<test::ProgramRun>(service, "/usr/bin/env");
  servicePid_ = service_->pid();
  if (!service_->WaitForErr("serving ", kStartDeadline)) return;
  // The worker names itself; the main thread is the process itself.
  pid_t tid = servicePid_;
  if (traced == Traced::kWorker &&
      !test::WaitUntil([&] { return (tid = WorkerOf(servicePid_)) != 0; }, kStartDeadline, 1ms)) {
    return;
  }
  straceArgs.push_back("-p");
  straceArgs.push_back(std::to_string(tid));
  strace_ = std::make_unique<test::ProgramRun>(straceArgs, "/usr/bin/strace");
  attached_ = test::WaitUntil([&] { return TracerOf(servicePid_, tid) != 0; }, kStartDeadline, 1ms);
  // The worker must not have begun its first pass: its calls would be
  // counted from somewhere in the middle.
  if (traced == Traced::kWorker && Err().find("pass over") != std::string::npos) {
    attached_ = false;
  }
}

TracedService::~TracedService() {
  // A service still running would hold strace's output pipes open for ever.
  if (!Ended() && servicePid_ > 0) {
    kill(servicePid_, SIGKILL);
    WaitEnd(10s);
  }
  if (strace_) {
    strace_->Signal(SIGTERM);
    strace_->WaitExit(10s);
  }
}

std::string TracedService::Err() const {
  return service_ ? service_->Err() : strace_->Err();
}

std::string TracedService::Out() const {
  return service_ ? service_->Out() : strace_->Out();
}

int TracedService::Passes() const {
  return PassesDone(Err());
}

bool TracedService::Ended() {
  return WaitEnd(0ms).has_value();
}

std::optional<int> TracedService::WaitEnd(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  // Started by strace: strace ends with the service's status.
  test::ProgramRun& run = service_ ? *service_ : *strace_;
  status_ = run.WaitExit(timeout);
  if (status_ && service_ && strace_) strace_->WaitExit(10s);
  return status_;
}

void TracedService::WaitPassesOrEnd(int passes, std::chrono::milliseconds timeout) {
  test::WaitUntil([&] { return Passes() >= passes || Ended(); }, timeout, 10ms);
}

void TracedService::Detach() {
  if (!service_ || !strace_) return;  // strace started it: it stays to the end
  strace_->Signal(SIGTERM);
  strace_->WaitExit(10s);
}

std::optional<int> TracedService::Stop(std::chrono::milliseconds timeout) {
  if (!Ended()) kill(servicePid_, SIGTERM);
  return WaitEnd(timeout);
}

Trace TracedService::ReadCalls() const {
  return ReadTrace(traceFile_, root_);
}

Restarted RestartOnePass(ServiceBench& bench, int passes) {
  test::ProgramRun run(bench.Args());
  Restarted r;
  r.passed = test::WaitUntil([&] { return PassesDone(run.Err()) >= passes; }, 60s);
  run.Signal(SIGTERM);
  r.status = run.WaitExit(30s);
  r.err = run.Err();
  return r;
}

int FaultJobs() {
  const char* v = std::getenv("ZF_FAULT_JOBS");
  return v != nullptr ? std::max(1, std::atoi(v)) : 6;
}

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    if (e.is_regular_file(ec)) names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace zf::fault
