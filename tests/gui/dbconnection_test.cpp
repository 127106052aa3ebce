#include "dbconnection.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>

namespace zf::ui {
namespace {

TEST(OdbcConnectionString, BuildsFromTheConnectionFileParameters) {
  struct Case {
    const char* what;
    DbConnection::Parameters parameters;
    const char* expected;
  };
  const Case cases[] = {
      {"FreeTDS unless a driver is named",
       {{"HostName", "db1"},
        {"Database", "pages"},
        {"User_Name", "sa"},
        {"Password", "pw"},
        {"OS Authentication", "False"}},
       "DRIVER=FreeTDS;SERVER=db1;DATABASE=pages;UID=sa;PWD=pw;"},
      {"the Driver key, any letter case, chooses the driver",
       {{"driver", "PostgreSQL Unicode"}, {"HostName", "db1"}},
       "DRIVER=PostgreSQL Unicode;SERVER=db1;DATABASE=;UID=;PWD=;"},
      {"host,port",
       {{"HostName", "10.0.0.5,1433"}},
       "DRIVER=FreeTDS;SERVER=10.0.0.5;PORT=1433;DATABASE=;UID=;PWD=;"},
      {"host:port",
       {{"HostName", "db1:5432"}},
       "DRIVER=FreeTDS;SERVER=db1;PORT=5432;DATABASE=;UID=;PWD=;"},
      {"an IPv6 address stays whole",
       {{"HostName", "::1"}},
       "DRIVER=FreeTDS;SERVER=::1;DATABASE=;UID=;PWD=;"},
      {"keys are matched without regard to case",
       {{"HOSTNAME", "h"}, {"database", "d"}, {"user_name", "u"}, {"PASSWORD", "p"}},
       "DRIVER=FreeTDS;SERVER=h;DATABASE=d;UID=u;PWD=p;"},
      {"values that would end the entry are braced",
       {{"HostName", "h"}, {"Password", "a;b}c"}, {"User_Name", " sa"}},
       "DRIVER=FreeTDS;SERVER=h;DATABASE=;UID={ sa};PWD={a;b}}c};"},
      {"a trusted login sends no user name or password",
       {{"HostName", "h"}, {"User_Name", "u"}, {"Password", "p"}, {"OS Authentication", "True"}},
       "DRIVER=FreeTDS;SERVER=h;DATABASE=;Trusted_Connection=Yes;"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(OdbcConnectionString(c.parameters), QString::fromLatin1(c.expected)) << c.what;
}

// A loopback port that nothing listens on.
int ClosedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

TEST(OdbcDbConnection, ARefusedLoginLeavesItClosedWithTheDriversText) {
  OdbcDbConnection db;
  EXPECT_FALSE(db.IsOpen());
  db.Close();  // closing what is not open is harmless

  QElapsedTimer timer;
  timer.start();
  const Status opened = db.Open({{"HostName", "127.0.0.1," + std::to_string(ClosedPort())},
                                 {"Database", "pages"},
                                 {"User_Name", "sa"},
                                 {"Password", "pw"},
                                 {"OS Authentication", "False"}});
  EXPECT_FALSE(opened.ok());
  EXPECT_FALSE(opened.message().empty());
  EXPECT_FALSE(db.IsOpen());
  EXPECT_LT(timer.elapsed(), 10000) << "the login time-out did not hold";
}

}  // namespace
}  // namespace zf::ui
