#include "dbconnection.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace zf::ui
