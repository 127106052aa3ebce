#include "tformftptest.h"

#include <QEventLoop>
#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>
#include <atomic>
#include <thread>

#include "messages.h"
#include "ui_tformftptest.h"

namespace zf::ui {

TFormftptest::TFormftptest(QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::TFormftptest>()) {
  ui_->setupUi(this);
  ui_->ButtonBox->button(QDialogButtonBox::Ok)->setDefault(true);
  connect(ui_->ButtonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
}

TFormftptest::~TFormftptest() = default;

void TFormftptest::SetNames(const std::vector<std::string>& names) {
  ui_->ListBox1->clear();
  for (const std::string& name : names) ui_->ListBox1->addItem(QString::fromStdString(name));
}

QStringList TFormftptest::Names() const {
  QStringList names;
  for (int row = 0; row < ui_->ListBox1->count(); ++row) names << ui_->ListBox1->item(row)->text();
  return names;
}

FtpTestResult ShowFtpTest(QWidget* parent, const QueueRecord& shown, std::int32_t ftpTimeoutMs,
                          Messages& messages, const std::string& configFolder,
                          std::string* trusted) {
  // The test works on a copy: the dialog's controls, and with them `shown`,
  // stay usable by nobody else while the progress window is modal, but the
  // worker must not depend on that.
  QueueRecord settings;
  settings.FTPhost = shown.FTPhost;
  settings.FTPPort = shown.FTPPort;
  settings.FTPuser = shown.FTPuser;
  settings.FTPpasw = shown.FTPpasw;
  settings.FTPpath = shown.FTPpath;
  settings.FTPpassive = shown.FTPpassive;
  settings.FTPprotocol = shown.FTPprotocol;
  settings.FTPfingerprint = shown.FTPfingerprint;
  settings.FTPknownhosts = shown.FTPknownhosts;
  settings.FTPkeyfile = shown.FTPkeyfile;
  settings.Searchmask = shown.Searchmask;

  QProgressDialog progress(parent);
  progress.setObjectName(QStringLiteral("ProgressFtptest"));
  progress.setWindowTitle(QStringLiteral("FTP test"));
  progress.setLabelText(QStringLiteral("Connecting to %1 ...")
                            .arg(QString::fromStdString(settings.FTPhost).toHtmlEscaped()));
  progress.setRange(0, 0);  // busy: nothing to count
  progress.setMinimumDuration(0);
  progress.setWindowModality(Qt::WindowModal);
  progress.setAutoClose(false);
  progress.setAutoReset(false);

  std::atomic<bool> cancelled{false};
  FtpTestResult result;
  QEventLoop loop;
  QObject::connect(&progress, &QProgressDialog::canceled, &loop, [&] {
    cancelled = true;
    loop.quit();
  });
  std::thread worker([&] {
    result = RunFtpTest(
        settings, ftpTimeoutMs, [&] { return cancelled.load(); }, configFolder);
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  progress.show();
  loop.exec();
  // After Cancel the client notices within a second (its abort check).
  worker.join();
  progress.hide();

  if (result.cancelled) return result;
  if (!result.unknownKey.empty() && trusted != nullptr) {
    const QString question =
        QStringLiteral(
            "Nothing known for this queue vouches for the server %1 (%2). It presents "
            "this key:\n\n%3\n\nTrust this key and keep it as the queue's "
            "fingerprint?")
            .arg(QString::fromStdString(settings.FTPhost),
                 QString::fromStdString(FtpProtocolName(settings.FTPprotocol)),
                 QString::fromStdString(result.unknownKey));
    if (messages.Ask(parent, question, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) !=
        QMessageBox::Yes) {
      return result;
    }
    *trusted = result.unknownKey;
    QueueRecord pinned = shown;
    pinned.FTPfingerprint = *trusted;
    return ShowFtpTest(parent, pinned, ftpTimeoutMs, messages, configFolder);
  }
  if (!result.ok) {
    // The reason goes under the message the operator knows.
    QString text = QString::fromStdString(result.message);
    if (!result.reason.empty()) text += "\n" + QString::fromStdString(result.reason);
    messages.Error(parent, text);
    return result;
  }
  TFormftptest names(parent);
  names.SetNames(result.names);
  names.exec();
  return result;
}

}  // namespace zf::ui
