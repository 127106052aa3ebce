#pragma once

#include "engine/delivery.h"
#include "engine/naming.h"
#include "engine/stages.h"
#include "exprlib/expressionlibrary.h"
#include "log/logfile.h"
#include "log/visuallog.h"
#include "platform/clock.h"
#include "platform/fileops.h"

namespace zf {

// Name resolution and delivery as the program runs them, for the worker
// thread's EngineServices::stages. Both stages keep their failures to
// themselves: a log file that cannot be written ends the delivery of the
// queue's files for this pass, and the pass goes on with the next queue.
class StandardStages final : public EngineStages {
 public:
  // All must outlive this object (that is, the worker thread).
  StandardStages(ExpressionLibrary& library, VisualLog& visualLog, LogFileWriter& logWriter,
                 Clock& clock, FileOperations& files = SystemFileOperations::Instance());

  // The log writer's XML parser is set up on the thread that will use it.
  void PrepareThread() override;

  Status ResolveNames(Trenamethread& engine, PassContext& pass) override;
  Status DeliverFiles(Trenamethread& engine, PassContext& pass) override;

  // The resolver the engine uses, for naming a file outside a pass.
  NameResolver& naming() { return naming_; }

 private:
  NameResolver naming_;
  Delivery delivery_;
};

}  // namespace zf
