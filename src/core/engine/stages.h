#pragma once

#include <cstdint>
#include <string>

#include "config/queuetable.h"
#include "engine/passcontext.h"
#include "platform/result.h"

namespace zf {

class Trenamethread;

// The later stages of a per-queue pass and the thread's set-up, filled in by
// the naming and delivery code. Each stage handles the failures of its files
// itself; an error it returns (or throws) escapes it, which ends the whole
// pass over the queue table for this cycle. Loops over the file table should
// ask engine.KeepGoing(pass) after each file. With none given, a pass still
// discovers, orders, waits and checks stability.
class EngineStages {
 public:
  virtual ~EngineStages() = default;
  // First and last thing the worker thread does (per-thread services that
  // the log writer may need).
  virtual void PrepareThread() {}
  virtual void ReleaseThread() {}
  virtual Status ResolveNames(Trenamethread& /*engine*/, PassContext& /*pass*/) {
    return Status::Ok();
  }
  virtual Status DeliverFiles(Trenamethread& /*engine*/, PassContext& /*pass*/) {
    return Status::Ok();
  }
};

// The stages of a queue that takes its files from an FTP server. Without one,
// the pre-check of such a queue fails and the queue is skipped.
class FtpIntake {
 public:
  virtual ~FtpIntake() = default;
  // The FTP step of the pre-check: connect or re-use the queue's client.
  virtual bool PrepareFtp(Trenamethread& engine, const RecordPtr& queue) = 0;
  // Discovery on the server: fills pass.files. An error escapes the stage.
  virtual Status ListRemote(Trenamethread& engine, PassContext& pass) = 0;
  // Stability check on the server and the fetch of the stable files into
  // pass.inputFolder. An error escapes the stage.
  virtual Status FetchStable(Trenamethread& engine, PassContext& pass) = 0;
  // Why files of the queue wait on the server after its last FetchStable,
  // for the status view; empty: none.
  virtual std::string HeldOnServer(std::uint64_t /*uid*/) const { return {}; }
};

}  // namespace zf
