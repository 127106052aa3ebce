#include "tformftptest.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <functional>

#include "../ftp/ftptestserver.h"
#include "../ftp/secureservers.h"
#include "guitestkit.h"
#include "messages.h"

namespace zf::ui {
namespace {

namespace fs = std::filesystem;
using zf::test::FtpTestServer;
using zf::test::SilentServer;
using zf::test::TempDir;
using zf::test::WriteFile;

constexpr const char* kPassword = "Pw-never-shown-42";

// Calls `act` with the first visible top-level widget of type T once one is
// up (the modal windows ShowFtpTest opens), from the event loop it runs.
template <typename T>
void WhenShown(std::function<void(T&)> act) {
  auto* poll = new QTimer;
  QObject::connect(poll, &QTimer::timeout, poll, [poll, act] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (auto* wanted = qobject_cast<T*>(w); wanted != nullptr && wanted->isVisible()) {
        poll->stop();
        poll->deleteLater();
        act(*wanted);
        return;
      }
    }
  });
  poll->start(20);
}

QString AllTexts(QWidget& widget) {
  QString all = widget.windowTitle();
  for (QLabel* label : widget.findChildren<QLabel*>()) all += "\n" + label->text();
  for (QListWidget* list : widget.findChildren<QListWidget*>()) {
    for (int row = 0; row < list->count(); ++row) all += "\n" + list->item(row)->text();
  }
  return all;
}

TEST(TFormftptest, ShowsTheNamesItIsGiven) {
  TFormftptest dialog;
  EXPECT_EQ(dialog.windowTitle(), "FTP test result");
  const QString texts = AllTexts(dialog);
  EXPECT_TRUE(texts.contains("Found the following files"));
  dialog.SetNames({"old.pdf"});
  dialog.SetNames({"SPO_0001.pdf", "SPO_0002.pdf", "Weekly ads.PDF"});
  EXPECT_EQ(dialog.Names(), QStringList({"SPO_0001.pdf", "SPO_0002.pdf", "Weekly ads.PDF"}));
  dialog.show();
  EXPECT_TRUE(test::SaveScreenshot(dialog, "tformftptest"));
  dialog.findChild<QDialogButtonBox*>("ButtonBox")->button(QDialogButtonBox::Ok)->click();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

class ShowFtpTestFixture : public testing::Test {
 protected:
  ShowFtpTestFixture() {
    fs::create_directory(served.path() / "in");
    for (const char* name : {"SPO_0001.pdf", "notes.txt"}) {
      WriteFile(served.path() / "in" / name, "x");
    }
    FtpTestServer::Options options;
    options.root = served.path().string();
    options.password = kPassword;
    server = std::make_unique<FtpTestServer>(options);
    shown = zf::test::ShownFtpQueue(server->port(), kPassword);
  }

  TempDir served;
  std::unique_ptr<FtpTestServer> server;
  QueueRecord shown;
  RecordingMessages messages;
};

TEST_F(ShowFtpTestFixture, ShowsTheFoundNamesInTheResultWindow) {
  QStringList seen;
  QString texts;
  WhenShown<TFormftptest>([&](TFormftptest& result) {
    seen = result.Names();
    texts = AllTexts(result);
    result.accept();
  });
  const FtpTestResult result = ShowFtpTest(nullptr, shown, 5000, messages);
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(seen, QStringList({"SPO_0001.pdf"}));
  EXPECT_FALSE(texts.contains(kPassword));
  EXPECT_TRUE(messages.texts.isEmpty()) << messages.texts.join("; ").toStdString();
  EXPECT_TRUE(fs::exists(served.path() / "in" / "SPO_0001.pdf"));
}

TEST_F(ShowFtpTestFixture, ReportsEachFailureAsAnError) {
  struct Case {
    std::function<void(QueueRecord&)> change;
    QString text;
  } cases[] = {
      {[](QueueRecord& q) { q.FTPpasw = "wrong"; }, "error: Unable to connect\n530"},
      {[](QueueRecord& q) { q.FTPpath = "/x"; }, "error: Unable to find path /x\n550"},
      {[](QueueRecord& q) { q.Searchmask = "*.tif"; },
       "error: Unable to find files in/in\nno file there fits the search mask \"*.tif\""},
  };
  for (const Case& c : cases) {
    QueueRecord changed = shown;
    c.change(changed);
    messages.texts.clear();
    const FtpTestResult result = ShowFtpTest(nullptr, changed, 5000, messages);
    EXPECT_FALSE(result.ok);
    // The message, then why under it.
    ASSERT_EQ(messages.texts.size(), 1);
    EXPECT_TRUE(messages.texts.front().startsWith(c.text)) << messages.texts.front().toStdString();
  }
}

TEST(ShowFtpTestSecure, OffersAnUnknownKeyToTrustAndTellsAnotherKeyAsSuch) {
  TempDir remote;
  fs::create_directory(remote.path() / "in");
  WriteFile(remote.path() / "in" / "SPO_0001.pdf", "x");
  zf::test::TlsFtpServer tls(remote.path().string(), false);
  zf::test::SftpServer sftp;
  QueueRecord tlsQueue = zf::test::ShownFtpQueue(tls.port(), "");
  tlsQueue.FTPprotocol = kFtpExplicitTls;
  tlsQueue.FTPuser = "anonymous";
  QueueRecord sftpQueue = zf::test::ShownFtpQueue(sftp.port(), sftp.kKeyPassphrase);
  sftpQueue.FTPprotocol = kFtpSftp;
  sftpQueue.FTPuser = "root";
  sftpQueue.FTPkeyfile = sftp.userKey();
  sftpQueue.FTPknownhosts = (remote.path() / "none").string();
  sftpQueue.FTPpath = (remote.path() / "in").string();
  const QString mismatch = "The server's key does not match the one stored for this queue";
  struct Case {
    const QueueRecord& queue;
    std::string fingerprint;
    QMessageBox::StandardButton answer;  // to the box that comes up
    QString shown;                       // a part of its text
    std::string trusted;
  } cases[] = {
      {tlsQueue, "", QMessageBox::Yes, QString::fromStdString(tls.pin()), tls.pin()},
      {sftpQueue, "", QMessageBox::Yes, QString::fromStdString(sftp.fingerprint()),
       sftp.fingerprint()},
      {tlsQueue, "", QMessageBox::No, QString::fromStdString(tls.pin()), ""},
      {tlsQueue, "sha256//" + std::string(43, 'C') + "=", QMessageBox::Ok, mismatch, ""},
      {sftpQueue, "SHA256:" + std::string(43, 'C'), QMessageBox::Ok, mismatch, ""},
  };
  BoxMessages boxes;  // the real boxes, as the operator sees them
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown.toStdString());
    QueueRecord queue = c.queue;
    queue.FTPfingerprint = c.fingerprint;
    QString text;
    QStringList names;
    WhenShown<QMessageBox>([&](QMessageBox& box) {
      text = box.text();
      if (c.answer == QMessageBox::Yes) {
        test::SaveScreenshot(box, "tformftptest-trust");
        // After yes the test runs again with the key, and finds the names.
        WhenShown<TFormftptest>([&](TFormftptest& found) {
          names = found.Names();
          found.accept();
        });
      }
      box.button(c.answer)->click();
    });
    std::string trusted;
    const FtpTestResult result = ShowFtpTest(nullptr, queue, 5000, boxes, {}, &trusted);
    EXPECT_TRUE(text.contains(c.shown)) << text.toStdString();
    EXPECT_EQ(trusted, c.trusted);
    EXPECT_EQ(result.ok, c.answer == QMessageBox::Yes);
    EXPECT_EQ(names, c.answer == QMessageBox::Yes ? QStringList{"SPO_0001.pdf"} : QStringList());
  }
}

TEST(ShowFtpTestSilent, CancelEndsATestOfAServerThatNeverAnswers) {
  const SilentServer silent;

  QueueRecord shown;
  shown.FTPhost = "127.0.0.1";
  shown.FTPPort = silent.port();
  shown.FTPuser = "zf";
  shown.FTPpasw = kPassword;
  shown.FTPpath = "/in";
  shown.Searchmask = "*.*";
  RecordingMessages messages;

  // The window keeps working while the test waits: the progress window is
  // up, and its Cancel ends the test well before any time-out would.
  bool progressShown = false;
  WhenShown<QProgressDialog>([&](QProgressDialog& progress) {
    progressShown = true;
    EXPECT_FALSE(progress.labelText().contains(kPassword));
    test::SaveScreenshot(progress, "tformftptest-progress");
    QTimer::singleShot(200, &progress,
                       [&progress] { progress.findChild<QPushButton*>()->click(); });
  });
  QElapsedTimer clock;
  clock.start();
  FtpTestResult result = ShowFtpTest(nullptr, shown, -1, messages);
  EXPECT_LT(clock.elapsed(), 5000);
  EXPECT_TRUE(progressShown);
  EXPECT_TRUE(result.cancelled);
  EXPECT_TRUE(messages.texts.isEmpty());

  // Without Cancel, the FTP time-out ends it.
  clock.restart();
  result = ShowFtpTest(nullptr, shown, 400, messages);
  EXPECT_LT(clock.elapsed(), 5000);
  ASSERT_EQ(messages.texts.size(), 1);
  EXPECT_TRUE(messages.texts.front().startsWith("error: Unable to connect\nTimed out"))
      << messages.texts.front().toStdString();
}

}  // namespace
}  // namespace zf::ui
