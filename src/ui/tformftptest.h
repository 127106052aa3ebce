#pragma once

#include <QDialog>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/queuetable.h"
#include "ftp/ftptest.h"

namespace Ui {
class TFormftptest;
}

namespace zf::ui {

class Messages;

// "FTP test result": the names an FTP connection test found.
class TFormftptest final : public QDialog {
  Q_OBJECT

 public:
  explicit TFormftptest(QWidget* parent = nullptr);
  ~TFormftptest() override;

  // Empties the list and fills it with `names` in their order.
  void SetNames(const std::vector<std::string>& names);
  QStringList Names() const;

 private:
  std::unique_ptr<Ui::TFormftptest> ui_;
};

// Runs the FTP connection test (RunFtpTest) for the settings `shown` in the
// queue dialog, on a thread of its own behind a busy "Cancel"-able progress
// window, so a server that never answers cannot freeze the window: the FTP
// time-out (`ftpTimeoutMs`, FTPtimeout of the working settings; 0 or less:
// none) ends it, and so does Cancel. A failure goes to `messages` as an error;
// the names found are shown in TFormftptest. Returns what the test found.
// `configFolder` is where a relative FTPknownhosts or FTPkeyfile lies.
// A server that nothing known vouches for has the key it presented shown,
// with the question whether to trust it; yes puts it into `*trusted` and
// runs the test again with it.
FtpTestResult ShowFtpTest(QWidget* parent, const QueueRecord& shown, std::int32_t ftpTimeoutMs,
                          Messages& messages, const std::string& configFolder = {},
                          std::string* trusted = nullptr);

}  // namespace zf::ui
