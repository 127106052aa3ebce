#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/fileidentity.h"
#include "platform/folder.h"
#include "platform/result.h"
#include "platform/uniquefd.h"

namespace zf::app {

// `zentrafold --status` asks the running instance, window or service, for
// its queue status table through a UNIX socket in the configuration folder.
// The socket file is for the owner and the group only, like the files beside
// it.
constexpr const char* kStatusSocketName = "zentrafold.status";
// The exit status of `--status` when no instance runs on the configuration.
constexpr int kNoInstance = 3;

// Answers every connection with one text, made when it is asked for, from a
// thread of its own. Only the holder of the configuration's lock runs one.
class StatusServer {
 public:
  using Answer = std::function<std::string()>;

  // Opens the socket in `folder`; replaces a socket a crashed run left.
  static Result<std::unique_ptr<StatusServer>> Start(const std::string& folder, Answer answer);
  // Ends the thread and removes the socket file, if it is still ours.
  ~StatusServer();
  StatusServer(const StatusServer&) = delete;
  StatusServer& operator=(const StatusServer&) = delete;

 private:
  StatusServer(Folder folder, UniqueFd listener, FileIdentity identity, Answer answer);
  void Run();

  Folder folder_;
  UniqueFd listener_;
  FileIdentity identity_;  // of the socket file, so only ours is removed
  Answer answer_;
  UniqueFd wake_;  // eventfd: the destructor's stop
  std::thread thread_;
};

// Asks the instance running on `folder` for its status table. ENOENT or
// ECONNREFUSED as the error's code: none runs there.
Result<std::string> AskStatus(const std::string& folder);

}  // namespace zf::app
