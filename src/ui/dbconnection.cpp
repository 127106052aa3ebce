#include "dbconnection.h"

#include <QAtomicInt>
#include <QSqlDatabase>
#include <QSqlError>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace zf::ui {
namespace {

constexpr const char* kDefaultDriver = "FreeTDS";
// Long enough for a slow server, short enough that an address nobody answers
// at gives "Unable to connect" while the operator still waits for it, with
// drivers that honour it.
constexpr const char* kConnectOptions = "SQL_ATTR_LOGIN_TIMEOUT=5;SQL_ATTR_CONNECTION_TIMEOUT=5";

QString Value(const DbConnection::Parameters& parameters, const char* key) {
  for (const auto& [name, value] : parameters)
    if (QString::fromStdString(name).compare(QLatin1String(key), Qt::CaseInsensitive) == 0)
      return QString::fromStdString(value);
  return {};
}

// ODBC reads a value up to the next ";" unless it stands in braces, where
// a "}" is doubled.
QString Quoted(const QString& value) {
  static const QString kSpecial = QStringLiteral(";{}=");
  bool plain = value.trimmed() == value;
  for (const QChar c : value) plain = plain && !kSpecial.contains(c);
  if (plain) return value;
  QString braced = value;
  braced.replace(QLatin1Char('}'), QStringLiteral("}}"));
  return QLatin1Char('{') + braced + QLatin1Char('}');
}

}  // namespace

QString OdbcConnectionString(const DbConnection::Parameters& parameters) {
  QString driver = Value(parameters, "Driver").trimmed();
  if (driver.isEmpty()) driver = QString::fromLatin1(kDefaultDriver);

  QString host = Value(parameters, "HostName").trimmed();
  QString port;
  // "host,port" is the SQL Server form; "host:port" is accepted as well, but
  // only with a single colon so that a bare IPv6 address stays whole.
  qsizetype split = host.lastIndexOf(QLatin1Char(','));
  if (split < 0 && host.count(QLatin1Char(':')) == 1) split = host.indexOf(QLatin1Char(':'));
  if (split >= 0) {
    port = host.mid(split + 1).trimmed();
    host = host.left(split).trimmed();
  }

  QString out = QStringLiteral("DRIVER=") + Quoted(driver) + QStringLiteral(";SERVER=") +
                Quoted(host) + QLatin1Char(';');
  if (!port.isEmpty()) out += QStringLiteral("PORT=") + Quoted(port) + QLatin1Char(';');
  out += QStringLiteral("DATABASE=") + Quoted(Value(parameters, "Database")) + QLatin1Char(';');
  if (Value(parameters, "OS Authentication")
          .trimmed()
          .compare(QLatin1String("True"), Qt::CaseInsensitive) == 0) {
    out += QStringLiteral("Trusted_Connection=Yes;");
  } else {
    out += QStringLiteral("UID=") + Quoted(Value(parameters, "User_Name")) +
           QStringLiteral(";PWD=") + Quoted(Value(parameters, "Password")) + QLatin1Char(';');
  }
  return out;
}

// Runs tasks one after another on its own thread; Run waits for the task.
class OdbcDbConnection::Worker {
 public:
  Worker() : thread_([this] { Loop(); }) {}
  ~Worker() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }

  template <typename F>
  auto Run(F task) -> decltype(task()) {
    std::packaged_task<decltype(task())()> packaged(std::move(task));
    auto result = packaged.get_future();
    {
      std::lock_guard lock(mutex_);
      tasks_.emplace_back([&packaged] { packaged(); });
    }
    wake_.notify_one();
    return result.get();
  }

 private:
  void Loop() {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) return;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::thread thread_;  // last: starts once the members above exist
};

OdbcDbConnection::OdbcDbConnection() : worker_(std::make_unique<Worker>()) {
  static QAtomicInt counter;
  name_ = QStringLiteral("MSSQLVeltraneLite-%1").arg(counter.fetchAndAddRelaxed(1));
}

OdbcDbConnection::~OdbcDbConnection() {
  worker_->Run([this] {
    {
      QSqlDatabase db = QSqlDatabase::database(name_, false);
      if (db.isValid()) db.close();
    }
    if (QSqlDatabase::contains(name_)) QSqlDatabase::removeDatabase(name_);
  });
}

Status OdbcDbConnection::Open(const Parameters& parameters) {
  const QString connection = OdbcConnectionString(parameters);
  return worker_->Run([&]() -> Status {
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QODBC")))
      return Status::Error("The ODBC driver of Qt SQL (QODBC) is not installed");
    QSqlDatabase db = QSqlDatabase::contains(name_)
                          ? QSqlDatabase::database(name_, false)
                          : QSqlDatabase::addDatabase(QStringLiteral("QODBC"), name_);
    db.close();
    db.setDatabaseName(connection);
    db.setConnectOptions(QString::fromLatin1(kConnectOptions));
    if (db.open()) return Status::Ok();
    QString text = db.lastError().text().trimmed();
    if (text.isEmpty()) text = QStringLiteral("The connection could not be opened");
    return Status::Error(text.toStdString());
  });
}

bool OdbcDbConnection::IsOpen() const {
  return worker_->Run([this] { return QSqlDatabase::database(name_, false).isOpen(); });
}

void OdbcDbConnection::Close() {
  worker_->Run([this] {
    QSqlDatabase db = QSqlDatabase::database(name_, false);
    if (db.isValid()) db.close();
  });
}

}  // namespace zf::ui
