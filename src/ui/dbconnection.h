#pragma once

#include <QString>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/result.h"

namespace zf::ui {

// The plugin database connection. Only the settings dialog's connection test
// uses it: it opens from the name=value parameters of the `MSSQLVeltraneLite`
// section of "dbconnect.ini" and stays open until the next test or the end
// of the program. Implementations are safe to call from any one thread at a
// time, so the dialog can run a slow login away from the window.
class DbConnection {
 public:
  using Parameters = std::vector<std::pair<std::string, std::string>>;

  virtual ~DbConnection() = default;
  // On failure the message is the driver's own error text.
  virtual Status Open(const Parameters& parameters) = 0;
  virtual bool IsOpen() const = 0;
  virtual void Close() = 0;
};

// The ODBC connection string for the parameters: the driver named by the
// optional `Driver` key (FreeTDS when absent), `HostName` as host, "host,port"
// or "host:port", `Database`, `User_Name` and `Password`. An
// "OS Authentication" of "True" asks for a trusted login instead of the user
// name and password. Keys are matched without regard to case, as in any INI
// file; values that would break the string are braced.
QString OdbcConnectionString(const DbConnection::Parameters& parameters);

// Qt SQL's ODBC driver. Qt ties a database connection to the thread that made
// it, so every call runs on one private thread of this object. The driver is
// asked to give up a login after five seconds; not every driver keeps to that
// (FreeTDS waits on a server that takes the connection and never answers),
// which is why callers run Open away from the window.
class OdbcDbConnection final : public DbConnection {
 public:
  OdbcDbConnection();
  ~OdbcDbConnection() override;
  OdbcDbConnection(const OdbcDbConnection&) = delete;
  OdbcDbConnection& operator=(const OdbcDbConnection&) = delete;

  Status Open(const Parameters& parameters) override;
  bool IsOpen() const override;
  void Close() override;

 private:
  class Worker;
  std::unique_ptr<Worker> worker_;
  QString name_;  // of the Qt SQL connection, unique per object
};

}  // namespace zf::ui
