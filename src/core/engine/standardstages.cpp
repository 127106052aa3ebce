#include "engine/standardstages.h"

#include "log/jmflog.h"

namespace zf {

StandardStages::StandardStages(ExpressionLibrary& library, VisualLog& visualLog,
                               LogFileWriter& logWriter, Clock& clock, FileOperations& files)
    : naming_(library), delivery_(library, files, visualLog, logWriter, clock) {}

void StandardStages::PrepareThread() {
  // The XML log writer's parser is set up once per process (normally already
  // by the writer's constructor; this is a cheap no-op then). Nothing is
  // needed at the thread's end: the parser's per-thread state goes with the
  // thread, and its global tables must stay for the whole process.
  PrepareXmlLibrary();
}

Status StandardStages::ResolveNames(Trenamethread& engine, PassContext& pass) {
  return naming_.ResolveNames(engine, pass);
}

Status StandardStages::DeliverFiles(Trenamethread& engine, PassContext& pass) {
  // The stage has ended where the error met it; the files not reached wait
  // for the next cycle. Passing the error on would end the pass over the
  // whole queue table, so that one queue with an unwritable log folder would
  // keep every queue after it from being served.
  (void)delivery_.DeliverFiles(engine, pass);
  return Status::Ok();
}

}  // namespace zf
