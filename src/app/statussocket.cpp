#include "statussocket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/threadname.h"

namespace zf::app {
namespace {

constexpr mode_t kSocketMode = 0660;
// A client that connects and then says nothing is not waited for long.
constexpr int kClientTimeoutMs = 2000;

Status ErrnoStatus(const std::string& what, int err) {
  return Status::Error(what + ": " + std::strerror(err), err);
}

Result<sockaddr_un> AddressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    return Status::Error("the path " + path + " is too long for a socket", ENAMETOOLONG);
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

void SetTimeouts(int fd) {
  const timeval limit{kClientTimeoutMs / 1000, (kClientTimeoutMs % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

void SendAll(int fd, const std::string& text) {
  std::size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the client went: nothing to tell anyone
    sent += static_cast<std::size_t>(n);
  }
}

}  // namespace

Result<std::unique_ptr<StatusServer>> StatusServer::Start(const std::string& folderPath,
                                                          Answer answer) {
  Result<Folder> folder = Folder::Open(folderPath);
  if (!folder.ok()) return folder.status();
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener.valid()) return ErrnoStatus("Cannot make the status socket", errno);

  // Bound under a name of its own, given its mode, then renamed into place:
  // nobody can connect before the mode says who may. The folder is reached
  // through its open handle, so a folder swapped meanwhile cannot redirect
  // the socket.
  const std::string temp = std::string(".") + kStatusSocketName + "." + std::to_string(::getpid());
  ::unlinkat(folder->fd(), temp.c_str(), 0);
  Result<sockaddr_un> address = AddressOf(folder->ProcPath() + temp);
  if (!address.ok()) return address.status();
  if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address.value()),
             sizeof(sockaddr_un)) != 0) {
    return ErrnoStatus("Cannot make the status socket in " + folder->path(), errno);
  }
  struct stat st {};
  if (::fstatat(folder->fd(), temp.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISSOCK(st.st_mode) || ::fchmodat(folder->fd(), temp.c_str(), kSocketMode, 0) != 0 ||
      ::renameat(folder->fd(), temp.c_str(), folder->fd(), kStatusSocketName) != 0) {
    const int err = errno;
    ::unlinkat(folder->fd(), temp.c_str(), 0);
    return ErrnoStatus("Cannot make the status socket in " + folder->path(), err);
  }
  if (::listen(listener.get(), 8) != 0) {
    const int err = errno;
    ::unlinkat(folder->fd(), kStatusSocketName, 0);
    return ErrnoStatus("Cannot make the status socket in " + folder->path(), err);
  }
  const FileIdentity identity{static_cast<std::uint64_t>(st.st_dev),
                              static_cast<std::uint64_t>(st.st_ino)};
  return std::unique_ptr<StatusServer>(new StatusServer(
      std::move(folder).value(), std::move(listener), identity, std::move(answer)));
}

StatusServer::StatusServer(Folder folder, UniqueFd listener, FileIdentity identity, Answer answer)
    : folder_(std::move(folder)),
      listener_(std::move(listener)),
      identity_(identity),
      answer_(std::move(answer)),
      wake_(::eventfd(0, EFD_CLOEXEC)) {
  // Without a way to stop it, no thread: the socket then simply goes unanswered.
  if (wake_.valid()) thread_ = std::thread([this] { Run(); });
}

StatusServer::~StatusServer() {
  const std::uint64_t one = 1;
  if (::write(wake_.get(), &one, sizeof one) < 0) {
    // The thread then ends at the next connection; joining waits for it.
  }
  if (thread_.joinable()) thread_.join();
  // Another instance may have taken the name since (after losing our
  // lock): only the file we made goes.
  struct stat st {};
  if (::fstatat(folder_.fd(), kStatusSocketName, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)} ==
          identity_) {
    ::unlinkat(folder_.fd(), kStatusSocketName, 0);
  }
}

void StatusServer::Run() {
  NameThisThread("zf-status");
  ServeUntilWoken(listener_.get(), wake_.get(), 0, [this](UniqueFd client) {
    SetTimeouts(client.get());
    // The request is one line; what it says is not needed yet.
    char request[64];
    if (::recv(client.get(), request, sizeof request, 0) < 0) return;
    std::string text;
    try {
      text = answer_();
    } catch (...) {
      text = "zentrafold: the status cannot be read\n";
    }
    SendAll(client.get(), text);
  });
}

Result<std::string> AskStatus(const std::string& folder) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return ErrnoStatus("Cannot make a socket", errno);
  const std::string path =
      (folder.empty() || folder.back() == '/' ? folder : folder + "/") + kStatusSocketName;
  Result<sockaddr_un> address = AddressOf(path);
  if (!address.ok()) return address.status();
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address.value()),
                sizeof(sockaddr_un)) != 0) {
    return ErrnoStatus("Cannot reach " + path, errno);
  }
  SetTimeouts(fd.get());
  SendAll(fd.get(), "status\n");
  ::shutdown(fd.get(), SHUT_WR);
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ErrnoStatus("No answer from " + path, errno);
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

}  // namespace zf::app
