#include "serviceconfig.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

#include "config/configpaths.h"
#include "config/queuefile.h"
#include "config/settingsfile.h"
#include "demo.h"
#include "programrunner.h"

namespace zf::test {

QueueRecord MakeQueue(const std::string& name, const std::string& input, const std::string& output,
                      const std::string& error, const std::vector<Rule>& rules) {
  QueueRecord q;
  app::ApplyQueueDefaults(q);
  q.name = name;
  q.Inputfolder = input;
  q.Outputfolder = output;
  q.Errorfolder = error;
  q.NRegularexpr = static_cast<std::int32_t>(rules.size());
  for (std::size_t k = 0; k < rules.size(); ++k) q.rule(static_cast<int>(k + 1)) = rules[k];
  return q;
}

void WriteConfiguration(const std::string& dir, const std::vector<QueueRecord>& queues,
                        const GeneralSettings& settings) {
  const ConfigPaths paths = ConfigPaths::For(ProgramPath(), dir);
  QueueTable table;
  for (const QueueRecord& q : queues) {
    if (!table.Append([&](QueueRecord& slot) { slot = q; }).ok()) {
      throw std::runtime_error("too many queues");
    }
  }
  if (Status st = QueueConfigFile(paths.queueFile).Save(table); !st.ok()) {
    throw std::runtime_error(st.message());
  }
  WorkingSettings working;
  if (Status st = GeneralSettingsFile(paths.settingsFile).Save(settings, working); !st.ok()) {
    throw std::runtime_error(st.message());
  }
}

GeneralSettings QuickSettings(int browsetime, int stabletime) {
  GeneralSettings s;
  s.browsetime = browsetime;
  s.stabletime = stabletime;
  return s;
}

std::unique_ptr<LoadedExpressionLibrary> LoadBuiltLibrary() {
  struct Sink : LoadMessageSink {
    void ShowInformation(const std::string& text) override { ADD_FAILURE() << text; }
  } sink;
  const char* dir = std::getenv("ZF_BIN_DIR");
  return LoadedExpressionLibrary::Load(dir != nullptr ? dir : ".", sink);
}

}  // namespace zf::test
