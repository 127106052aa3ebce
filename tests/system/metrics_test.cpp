// The metrics endpoint of the headless service as a monitoring system sees
// it: a run with known results, the text read by the Prometheus client's own
// parser and scraped by a real Prometheus server on loopback.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <regex>
#include <sstream>

#include "immutable.h"
#include "programrunner.h"
#include "serviceconfig.h"
#include "tempdir.h"

namespace zf::test {
namespace {

// A port free on loopback at this moment.
int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  ::close(fd);
  return ntohs(a.sin_port);
}

Finished Curl(const std::vector<std::string>& args) {
  std::vector<std::string> all{"-s", "--max-time", "5"};
  all.insert(all.end(), args.begin(), args.end());
  return RunProgram(all, "/usr/bin/curl", 10s);
}

// "name<TAB>queue" -> value, as the Prometheus client library parses the text.
std::map<std::string, double> Parse(const TempDir& dir, const std::string& text) {
  WriteFile(dir / "metrics.txt", text);
  const Finished parsed = RunProgram(
      {"-c",
       "import sys\n"
       "from prometheus_client.parser import text_string_to_metric_families\n"
       "for f in text_string_to_metric_families(open(sys.argv[1]).read()):\n"
       "  for s in f.samples:\n"
       "    print(s.name + '\\t' + s.labels.get('queue', s.labels.get('version', '')) + '\\t' + "
       "repr(s.value))\n",
       dir / "metrics.txt"},
      "/usr/bin/python3", 20s);
  EXPECT_EQ(parsed.status, 0) << parsed.err;
  std::map<std::string, double> samples;
  std::istringstream lines(parsed.out);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t last = line.rfind('\t');
    samples[line.substr(0, last)] = std::stod(line.substr(last + 1));
  }
  return samples;
}

TEST(Metrics, AKnownRunIsCountedAndScrapedByPrometheus) {
  TempDir dir;
  for (const char* f : {"Sport/in", "Sport/out", "Sport/error", "Locked/in", "Locked/out"})
    std::filesystem::create_directories(dir.path() / f);
  const Rule rule{R"(Page(\d+)\.pdf)", "P$1.pdf", false, ""};
  const QueueRecord sport =
      MakeQueue("Sport", dir / "Sport/in", dir / "Sport/out", dir / "Sport/error", {rule});
  const QueueRecord locked = MakeQueue("Locked", dir / "Locked/in", dir / "Locked/out", "", {rule});
  GeneralSettings settings = QuickSettings();
  settings.metricsport = FreePort();
  WriteConfiguration(dir.path().string(), {sport, locked}, settings);
  WriteFile(dir / "Sport/in/Page01.pdf", std::string(1000, 'a'));
  WriteFile(dir / "Sport/in/Page02.pdf", std::string(2345, 'b'));
  WriteFile(dir / "Sport/in/memo.doc", "no rule names it");
  WriteFile(dir / "Locked/in/Page03.pdf", "its copy is refused");
  const Immutable refusing(dir / "Locked/out");
  ASSERT_TRUE(refusing.ok());

  // Prometheus first: its start overlaps the service's first passes.
  const int webPort = FreePort();
  WriteFile(dir / "prometheus.yml",
            "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
            "scrape_configs:\n  - job_name: zentrafold\n    static_configs:\n"
            "      - targets: ['127.0.0.1:" +
                std::to_string(settings.metricsport) + "']\n");
  ProgramRun prometheus(
      {"--config.file=" + dir / "prometheus.yml", "--storage.tsdb.path=" + dir / "tsdb",
       "--web.listen-address=127.0.0.1:" + std::to_string(webPort)},
      "/usr/bin/prometheus");
  ProgramRun service({"--headless", "--config-dir", dir.path().string()});
  ASSERT_TRUE(service.WaitForOut([](const auto& lines) { return lines.size() >= 4; }, 30s))
      << service.Err();
  const std::string url = "http://127.0.0.1:" + std::to_string(settings.metricsport);

  // What every reader must see: the client parser and Prometheus alike.
  struct Expected {
    std::string series;  // "name<TAB>queue"
    double value;
    bool atLeast;  // the refused copy is tried again every pass
  };
  const std::vector<Expected> expected = {
      {"zentrafold_build_info\t" ZF_VERSION, 1, false},
      {"zentrafold_files_delivered_total\tSport", 2, false},
      {"zentrafold_delivered_bytes_total\tSport", 3345, false},
      {"zentrafold_files_unresolved_total\tSport", 1, false},
      {"zentrafold_files_failed_total\tSport", 0, false},
      {"zentrafold_files_failed_total\tLocked", 1, true},
      {"zentrafold_files_delivered_total\tLocked", 0, false},
      {"zentrafold_files_waiting\tSport", 0, false},
      {"zentrafold_pass_duration_seconds_count\tSport", 1, true},
      {"zentrafold_seconds_since_last_delivery\tSport", 0, true},
  };
  const Finished scraped = Curl({url + "/metrics"});
  ASSERT_EQ(scraped.status, 0) << scraped.err;
  const std::map<std::string, double> samples = Parse(dir, scraped.out);
  for (const Expected& e : expected) {
    ASSERT_TRUE(samples.contains(e.series)) << e.series << "\n" << scraped.out;
    if (e.atLeast) {
      EXPECT_GE(samples.at(e.series), e.value) << e.series;
    } else {
      EXPECT_EQ(samples.at(e.series), e.value) << e.series;
    }
  }
  EXPECT_FALSE(samples.contains("zentrafold_seconds_since_last_delivery\tLocked"));
  EXPECT_EQ(Curl({"-o", "/dev/null", "-w", "%{http_code}", url + "/other"}).out, "404");

  // One query for every series of ours; each result is
  // {"metric":{"__name__":N,...,"queue":Q},"value":[time,"V"]}.
  const std::regex result(
      R"re("__name__":"([^"]+)"[^}]*"(?:queue|version)":"([^"]+)"\},"value":\[[0-9.e+]+,"([^"]+)"\])re");
  std::map<std::string, double> stored;
  std::string answer;
  ASSERT_TRUE(WaitUntil(
      [&] {
        answer = Curl({"-G", "--data-urlencode", R"(query={__name__=~"zentrafold_.+"})",
                       "http://127.0.0.1:" + std::to_string(webPort) + "/api/v1/query"})
                     .out;
        for (std::sregex_iterator m(answer.begin(), answer.end(), result), end; m != end; ++m)
          stored[(*m)[1].str() + "\t" + (*m)[2].str()] = std::stod((*m)[3].str());
        // A scrape made before the results were counted is older news.
        return std::all_of(expected.begin(), expected.end(), [&](const Expected& e) {
          return stored.contains(e.series) &&
                 (e.atLeast ? stored.at(e.series) >= e.value : stored.at(e.series) == e.value);
        });
      },
      30s, 250ms))
      << answer << "\n"
      << prometheus.Err();
  for (const Expected& e : expected) {
    ASSERT_TRUE(stored.contains(e.series)) << e.series << "\n" << answer;
    if (e.atLeast) {
      EXPECT_GE(stored.at(e.series), e.value) << e.series;
    } else {
      EXPECT_EQ(stored.at(e.series), e.value) << e.series;
    }
  }
  service.Signal(SIGTERM);
  EXPECT_EQ(service.WaitExit(30s), 0) << service.Err();
}

}  // namespace
}  // namespace zf::test
