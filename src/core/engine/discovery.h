#pragma once

#include <functional>

#include "config/queuetable.h"
#include "engine/filetable.h"
#include "engine/passcontext.h"
#include "platform/clock.h"
#include "platform/fileaccess.h"
#include "platform/result.h"

namespace zf {

// Asked between files and between passes; false ends the loop early.
using KeepGoingFn = std::function<bool()>;

// The pre-check: the queue's input (or, for an FTP queue, `prepareFtp`),
// output and, when set, error folders must be usable. Every test is made even
// after one has failed.
bool CheckQueue(const QueueRecord& queue, FileAccess& files,
                const std::function<bool()>& prepareFtp);

// Lists pass.inputFolder + Searchmask into pass.files: at most 999 entries in
// listing order, leaving out ignored names, "." and "..", folders, volume
// labels, read-only files, symbolic links and device nodes. A folder that
// cannot be listed gives no files. An invalid ignore mask is an error that
// escapes the stage.
Status DiscoverFiles(FileAccess& files, Clock& clock, PassContext& pass);

// Oldest file time first; equal times keep their listing order.
void OrderFiles(FileTable& table, const KeepGoingFn& keepGoing);

// Marks ready the entries whose size and time did not change since discovery.
void CheckStability(FileAccess& files, Clock& clock, PassContext& pass,
                    const KeepGoingFn& keepGoing);

}  // namespace zf
