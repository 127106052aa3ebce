#pragma once

#include <QDialog>
#include <QSet>
#include <QString>
#include <memory>
#include <string>
#include <thread>

#include "config/configpaths.h"
#include "config/settings.h"

class QButtonGroup;

namespace Ui {
class TFormGenset;
}

namespace zf::ui {

class DbConnection;
class Messages;

// The general settings dialog. It lives for the whole run and is the place
// the engine's browse interval and stable time come from: the two spin fields
// write WorkingSettings at once, before OK, and Cancel (or Escape, or closing
// the window) brings back the file's values. Whenever the dialog closes it
// also hands the visual log size and the plugin choice to WorkingSettings;
// callers that must react to a new size read MaxVisualLog() after finished().
class TFormGenset final : public QDialog {
  Q_OBJECT

 public:
  TFormGenset(ConfigPaths paths, WorkingSettings& working, Messages& messages, DbConnection& db,
              QWidget* parent = nullptr);
  ~TFormGenset() override;

  // Fills every field from the general settings file and sets the working
  // browse interval, stable time, FTP time-out, visual log size and plugin
  // choice from it. A message of the load (a FTPtimeout that is no number)
  // goes to the operator once per run, however often the file is read again.
  // Called at start-up and by Cancel.
  void Load();
  // A load message the operator was already shown elsewhere this run.
  void MarkReported(const QString& text) { reported_.insert(text); }

  // The fields as the general settings file receives them.
  GeneralSettings Settings() const;

  int MaxVisualLog() const;
  int Plugin() const;  // -1 when no choice is selected
  bool AutoStart() const;
  std::string LogFormat() const;

  // The copies only start-up takes: the log pattern and the on/off switch
  // from "Auto start". Both count from the next start, so nothing else does.
  void TakeStartupCopies();

  void accept() override;  // OK: save, then close
  void reject() override;  // Cancel: reload the file, then close

 protected:
  void showEvent(QShowEvent* event) override;
  void done(int result) override;

 private:
  void Fill(const GeneralSettings& settings);
  void TakeClosingCopies();
  void TestPattern();
  void TestConnection();
  void ConnectionTested(bool connected, const QString& error);
  void SetStatus(const QString& text, const QString& detail = {});

  std::unique_ptr<Ui::TFormGenset> ui_;
  QButtonGroup* plugins_;
  const ConfigPaths paths_;
  WorkingSettings& working_;
  Messages& messages_;
  DbConnection& db_;
  std::thread tester_;  // the running connection test, if any
  QSet<QString> reported_;
};

}  // namespace zf::ui
